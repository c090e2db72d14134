#include "spool.h"

#include "crc32.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace publish {

namespace {

constexpr size_t RecordHead = 8;        // body length, CRC-32 of the body
constexpr size_t BodyHead = 9;          // seq, channel
constexpr size_t MarksRecord = 44;      // CRC-32, head, next, dropped count, first, last
// "marks" is rewritten whole once it holds this many records.
constexpr uint64_t MarksCompactSize = MarksRecord * 128;
const std::string SegmentPrefix = "journal-";
// A delivered newest segment this large is replaced by an empty one; a
// smaller one only when a write failed (each replacement syncs the folder).
constexpr uint64_t NewestCutBack = 64 * 1024;

void PutU32(std::string &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

void PutU64(std::string &out, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint64_t GetLe(const std::string &in, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    return v;
}

std::string SegmentName(uint64_t first)
{
    char name[32];
    std::snprintf(name, sizeof name, "%020llu", static_cast<unsigned long long>(first));
    return SegmentPrefix + name;
}

// The first seq in a segment's name; 0 for any other name.
uint64_t SegmentFirst(const std::string &name)
{
    if (name.size() != SegmentPrefix.size() + 20 || name.rfind(SegmentPrefix, 0) != 0)
        return 0;
    uint64_t v = 0;
    for (size_t i = SegmentPrefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        v = v * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return v;
}

struct Record {
    uint64_t seq = 0;
    Channel channel = Channel::Line;
    std::string payload;
    uint64_t size = 0;   // on disk
};

// The intact record at `offset` of `bytes`, or nothing at a torn or damaged place.
std::optional<Record> ParseRecord(std::string_view bytes, uint64_t offset)
{
    if (offset + RecordHead > bytes.size())
        return std::nullopt;
    const std::string head(bytes.substr(offset, RecordHead));
    const uint64_t length = GetLe(head, 0, 4);
    if (length < BodyHead || length > BodyHead + Spool::MaxPayload || offset + RecordHead + length > bytes.size())
        return std::nullopt;
    // Checked in place: a search for the next intact record tries every offset.
    const std::string_view body = bytes.substr(offset + RecordHead, length);
    const auto channel = static_cast<Channel>(body[8]);
    if ((channel != Channel::Telegram && channel != Channel::Line) || Crc32(body) != GetLe(head, 4, 4))
        return std::nullopt;
    const std::string seq(body.substr(0, 8));
    return Record{GetLe(seq, 0, 8), channel, std::string(body.substr(BodyHead)), RecordHead + length};
}

} // namespace

Spool::Spool(const std::string &dir, SpoolLimits limits)
    : dir_(dir), limits_(limits),
      segmentLimit_(std::clamp<uint64_t>(limits.maxBytes / 16, 4096, uint64_t{4} << 20))
{
    if (limits_.maxMessages == 0 || limits_.maxBytes == 0)
        throw std::runtime_error("the spool needs room for at least one message");
    CreateFolders(dir_);
    if (const std::string problem = FolderProblem(dir_); !problem.empty())
        throw std::invalid_argument("the spool folder " + dir_ + " is refused: " + problem);
    lock_ = std::make_unique<FolderLock>(dir_);
    Recover();
    ReadOrMakeEpoch();
}

void Spool::ReadOrMakeEpoch()
{
    const std::vector<std::string> names = ListFolder(dir_);
    if (std::find(names.begin(), names.end(), "epoch") != names.end()) {
        const JournalFile file(dir_ + "/epoch", false);
        const std::string text = file.ReadAt(0, 64);
        if (text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos) {
            epoch_ = text;
            return;
        }
    }
    std::random_device random;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
    const std::string fresh = dir_ + "/epoch.new";
    RemoveFile(fresh);
    {
        JournalFile file(fresh, true);
        file.Append(text);
        file.Sync();
    }
    RenameOver(fresh, dir_ + "/epoch", dir_);
    epoch_ = text;
}

Spool::~Spool() = default;

void Spool::Recover()
{
    std::vector<uint64_t> firsts;
    for (const std::string &name : ListFolder(dir_))
        if (const uint64_t first = SegmentFirst(name))
            firsts.push_back(first);
    std::sort(firsts.begin(), firsts.end());
    ReadMarks();
    const uint64_t markedHead = head_;
    const uint64_t markedNext = next_;
    uint64_t expected = std::max(head_, firsts.empty() ? head_ : firsts.front());
    for (const uint64_t first : firsts) {
        Segment &segment = segments_[first];
        segment.file = JournalFile(dir_ + "/" + SegmentName(first), false);
        // A segment is named by the seq after its predecessor's last.
        if (first > expected)
            NoteLost(expected, first - 1);
        ScanSegment(first, segment, expected);
    }
    // Seqs committed before and not found: their records were damaged.
    if (markedNext > expected)
        NoteLost(expected, markedNext - 1);
    next_ = std::max({next_, expected, firsts.empty() ? uint64_t{1} : firsts.back()});
    head_ = live_.empty() ? next_ : live_.front().seq;
    if (head_ < markedHead)
        head_ = markedHead;
    while (limits_.maxMessages < live_.size() || limits_.maxBytes < liveBytes_)
        DropOldest();
    RemoveDeliveredSegments();
    cursorSeq_ = head_;
    WriteMarks(true);
}

void Spool::ReadMarks()
{
    marks_ = JournalFile(dir_ + "/marks", true);
    const std::string all = marks_.ReadAt(0, static_cast<size_t>(std::min<uint64_t>(marks_.Size(), MarksCompactSize * 2)));
    size_t intact = 0;
    for (size_t at = 0; at + MarksRecord <= all.size(); at += MarksRecord) {
        const std::string body = all.substr(at + 4, MarksRecord - 4);
        if (Crc32(body) != GetLe(all, at, 4))
            break;
        head_ = GetLe(body, 0, 8);
        next_ = markedNext_ = GetLe(body, 8, 8);
        dropped_ = {GetLe(body, 16, 8), GetLe(body, 24, 8), GetLe(body, 32, 8)};
        intact = at + MarksRecord;
    }
    if (intact != marks_.Size())
        marks_.Truncate(intact);
    head_ = std::max<uint64_t>(head_, 1);
    next_ = std::max(next_, head_);
}

void Spool::WriteMarks(bool sync)
{
    std::string body;
    PutU64(body, head_);
    PutU64(body, next_);
    PutU64(body, dropped_.count);
    PutU64(body, dropped_.firstSeq);
    PutU64(body, dropped_.lastSeq);
    std::string record;
    PutU32(record, Crc32(body));
    record += body;
    if (marks_.Size() + record.size() > MarksCompactSize) {
        const std::string fresh = dir_ + "/marks.new";
        RemoveFile(fresh);
        {
            JournalFile file(fresh, true);
            file.Append(record);
            file.Sync();
        }
        // Closed first: Windows does not rename over a file it holds open.
        marks_ = JournalFile();
        RenameOver(fresh, dir_ + "/marks", dir_);
        marks_ = JournalFile(dir_ + "/marks", false);
    } else {
        marks_.Append(record);
        if (sync)
            marks_.Sync();
    }
    marksChanged_ = false;
    marksMustSync_ = false;
    markedNext_ = next_;
}

void Spool::ScanSegment(uint64_t first, Segment &segment, uint64_t &expected)
{
    const std::string bytes = segment.file.ReadAt(0, static_cast<size_t>(segment.file.Size()));
    uint64_t offset = 0;
    uint64_t intactEnd = 0;
    uint64_t last = 0;   // the seq of the last intact record
    while (offset < bytes.size()) {
        std::optional<Record> record = ParseRecord(bytes, offset);
        if (!record || record->seq < std::max(first, last + 1)) {
            // Damaged: go on at the next intact record, if any follows.
            ++offset;
            continue;
        }
        if (record->seq > expected)
            NoteLost(expected, record->seq - 1);
        if (record->seq >= head_) {
            live_.push_back({record->seq, record->size, first, offset});
            liveBytes_ += record->size;
        }
        last = record->seq;
        expected = std::max(expected, last + 1);
        offset += record->size;
        intactEnd = offset;
    }
    // What follows the last intact record was being written when the run
    // ended, or is damaged beyond finding: it is never handed out.
    if (intactEnd < bytes.size())
        segment.file.Truncate(intactEnd);
    segment.committedSize = intactEnd;
}

uint64_t Spool::Append(Channel channel, const std::string &payload)
{
    if (payload.size() > MaxPayload)
        throw std::runtime_error("a message of " + std::to_string(payload.size()) + " bytes does not fit the spool");
    std::string body;
    PutU64(body, next_);
    body += static_cast<char>(channel);
    body += payload;
    std::string record;
    PutU32(record, static_cast<uint32_t>(body.size()));
    PutU32(record, Crc32(body));
    record += body;

    while (!live_.empty() && (live_.size() + 1 > limits_.maxMessages || liveBytes_ + record.size() > limits_.maxBytes))
        DropOldest();
    auto newest = segments_.empty() ? segments_.end() : std::prev(segments_.end());
    if (newest == segments_.end() || newest->second.file.Size() >= segmentLimit_) {
        // The old segment is complete once its bytes are synced.
        if (newest != segments_.end()) {
            if (unsynced_.erase(newest->first))
                newest->second.file.Sync();
            newest->second.committedSize = newest->second.file.Size();
        }
        newest = segments_.emplace(next_, Segment{JournalFile(dir_ + "/" + SegmentName(next_), true), 0}).first;
    }
    const uint64_t offset = newest->second.file.Size();
    try {
        newest->second.file.Append(record);
    } catch (const std::exception &) {
        roomNeeded_ = true;
        throw;
    }
    unsynced_.insert(newest->first);
    live_.push_back({next_, record.size(), newest->first, offset});
    liveBytes_ += record.size();
    return next_++;
}

void Spool::Commit()
{
    for (const uint64_t first : unsynced_) {
        Segment &segment = segments_.at(first);
        segment.file.Sync();
        segment.committedSize = segment.file.Size();
    }
    unsynced_.clear();
    // Delivered segments go first: on a full disk they make the room that
    // "marks" needs.
    RemoveDeliveredSegments();
    // The next seq and the dropped count must survive a crash; an
    // acknowledgement that does not only means the message goes out once more.
    if (next_ != markedNext_)
        marksChanged_ = marksMustSync_ = true;
    if (marksChanged_) {
        try {
            WriteMarks(marksMustSync_);
        } catch (const std::exception &) {
            roomNeeded_ = true;
            throw;
        }
    }
}

void Spool::DropOldest()
{
    const Live oldest = live_.front();
    live_.pop_front();
    liveBytes_ -= oldest.bytes;
    acknowledged_.erase(oldest.seq);
    NoteLost(oldest.seq, oldest.seq);
    head_ = live_.empty() ? next_ : live_.front().seq;
}

void Spool::NoteLost(uint64_t first, uint64_t last)
{
    const uint64_t count = last - first + 1;
    if (dropped_.count == 0) {
        // Up to lastSeq was announced already.
        if (last <= dropped_.lastSeq)
            return;
        first = std::max(first, dropped_.lastSeq + 1);
        dropped_ = {last - first + 1, first, last};
    } else if (first >= dropped_.firstSeq && last <= dropped_.lastSeq) {
        return;
    } else if (first == dropped_.lastSeq + 1 && laterDropped_.empty()) {
        dropped_.lastSeq = last;
        dropped_.count += count;
    } else if (!laterDropped_.empty() && first >= laterDropped_.back().firstSeq &&
               last <= laterDropped_.back().lastSeq) {
        return;
    } else if (!laterDropped_.empty() && first == laterDropped_.back().lastSeq + 1) {
        laterDropped_.back().lastSeq = last;
        laterDropped_.back().count += count;
    } else {
        // A range apart from the pending one is announced on its own, so a
        // receiver never takes what it got for lost.
        laterDropped_.push_back({count, first, last});
    }
    marksChanged_ = marksMustSync_ = true;
}

uint64_t Spool::Lose()
{
    NoteLost(next_, next_);
    return next_++;
}

void Spool::Settle()
{
    while (!live_.empty() && acknowledged_.erase(live_.front().seq)) {
        liveBytes_ -= live_.front().bytes;
        live_.pop_front();
    }
    const uint64_t head = live_.empty() ? next_ : live_.front().seq;
    if (head != head_) {
        head_ = head;
        marksChanged_ = true;
    }
}

void Spool::Delivered(uint64_t seq)
{
    if (seq < head_ || seq >= next_)
        return;
    acknowledged_.insert(seq);
    Settle();
}

void Spool::NoteDropped(uint64_t count)
{
    dropped_.count += count;
    marksChanged_ = marksMustSync_ = count > 0;
}

void Spool::DroppedAnnounced(const DroppedRun &run)
{
    if (run.count == 0 || run.count > dropped_.count)
        return;
    dropped_.count -= run.count;
    dropped_.firstSeq = dropped_.count ? run.lastSeq + 1 : 0;
    if (dropped_.count == 0 && !laterDropped_.empty()) {
        dropped_ = laterDropped_.front();
        laterDropped_.pop_front();
    }
    marksChanged_ = marksMustSync_ = true;
}

void Spool::RemoveDeliveredSegments()
{
    while (segments_.size() > 1) {
        const auto second = std::next(segments_.begin());
        if (second->first > head_)
            break;
        const std::string path = segments_.begin()->second.file.Path();
        unsynced_.erase(segments_.begin()->first);
        segments_.erase(segments_.begin());
        RemoveFile(path);
    }
    // The newest goes too once all of it is delivered, when the disk is
    // short of room or the segment has grown: an empty segment named by the
    // next seq carries the numbering on.
    if (segments_.size() == 1 && live_.empty() && segments_.begin()->first < next_ && unsynced_.empty() &&
        (roomNeeded_ || segments_.begin()->second.file.Size() >= NewestCutBack)) {
        roomNeeded_ = false;
        const std::string path = segments_.begin()->second.file.Path();
        JournalFile fresh(dir_ + "/" + SegmentName(next_), true);
        segments_.clear();
        segments_[next_].file = std::move(fresh);
        RemoveFile(path);
    }
}

void Spool::Rewind() { cursorSeq_ = head_; }

std::optional<SpooledMessage> Spool::Next()
{
    cursorSeq_ = std::max(cursorSeq_, head_);
    auto at = std::lower_bound(live_.begin(), live_.end(), cursorSeq_,
                               [](const Live &live, uint64_t seq) { return live.seq < seq; });
    for (; at != live_.end(); ++at) {
        if (acknowledged_.count(at->seq))
            continue;
        const auto segment = segments_.find(at->segment);
        if (segment == segments_.end() || at->offset + at->bytes > segment->second.committedSize)
            return std::nullopt;
        const std::string bytes = segment->second.file.ReadAt(at->offset, static_cast<size_t>(at->bytes));
        std::optional<Record> record = ParseRecord(bytes, 0);
        cursorSeq_ = at->seq + 1;
        if (record && record->seq == at->seq)
            return SpooledMessage{record->seq, record->channel, std::move(record->payload)};
        // Damaged since it was written: it is lost, and said so.
        NoteLost(at->seq, at->seq);
        acknowledged_.insert(at->seq);
    }
    Settle();
    return std::nullopt;
}

} // namespace publish
