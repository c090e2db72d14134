#pragma once

#include "spoolfiles.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

// The station's outbox on disk: every message is written here, synced, and
// only then handed to the broker; it leaves when the broker has acknowledged
// it. So nothing is lost while the broker is away, nor when the monitor or
// the machine stops, and the sequence numbers go on across restarts.
//
// The folder holds journal segments "journal-<first seq>" (records appended,
// never rewritten: length, CRC-32, seq, channel, payload), a file "marks"
// (appended records of the first undelivered seq, the next seq and the
// dropped run; the last intact one counts), "epoch" (the id of this
// numbering, made with the spool) and "lock". A crash can tear only the tail
// of the newest segment or of "marks"; the CRC finds it and the tail is cut.
// A record damaged on the disk costs that record only: reading resumes at
// the next intact one, and the seqs in between count as dropped. The next
// seq is in "marks" once committed, so no seq is issued twice.
namespace publish {

enum class Channel : uint8_t { Telegram = 1, Line = 2 };

struct SpoolLimits {
    uint64_t maxBytes = uint64_t{64} << 20;
    uint64_t maxMessages = 100000;
};

struct SpooledMessage {
    uint64_t seq = 0;
    Channel channel = Channel::Line;
    std::string payload;
};

// Messages dropped because the spool was full, not yet announced.
struct DroppedRun {
    uint64_t count = 0;
    uint64_t firstSeq = 0;
    uint64_t lastSeq = 0;
};

class Spool {
public:
    // The largest payload a record takes.
    static constexpr size_t MaxPayload = 1 << 20;

    // Creates the folder if needed, locks it and reads back what a former
    // run left. Throws std::runtime_error when the folder cannot be used,
    // std::invalid_argument when another user could write into it.
    Spool(const std::string &dir, SpoolLimits limits);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // The id of this spool's numbering: a new spool counts from 1 again
    // under a new epoch, so a receiver does not take its seqs for repeats.
    const std::string &Epoch() const { return epoch_; }
    // The seq the next message gets.
    uint64_t NextSeq() const { return next_; }
    // Writes a message with NextSeq(), dropping the oldest waiting ones to
    // stay within the limits. It is handed out only after Commit().
    uint64_t Append(Channel channel, const std::string &payload);
    // Puts what was appended on the disk.
    void Commit();

    // The next waiting message in order that was not handed out since the
    // last Rewind(), or nothing.
    std::optional<SpooledMessage> Next();
    // Hands out from the oldest undelivered message again (a new connection).
    void Rewind();
    // The broker has the message.
    void Delivered(uint64_t seq);

    uint64_t Waiting() const { return live_.size(); }
    uint64_t WaitingBytes() const { return liveBytes_; }
    // The next run of dropped messages to announce (count 0: none).
    const DroppedRun &Dropped() const { return dropped_; }
    // Adds messages lost before they reached the spool, without seqs.
    void NoteDropped(uint64_t count);
    // Issues NextSeq() to a message that could not be written (a full
    // disk): it counts as dropped, with its seq.
    uint64_t Lose();
    // The announcement of `run` reached the broker.
    void DroppedAnnounced(const DroppedRun &run);

private:
    struct Segment {
        JournalFile file;
        uint64_t committedSize = 0;   // bytes handed out may reach this far
    };
    struct Live {
        uint64_t seq;
        uint64_t bytes;
        uint64_t segment;   // its first seq
        uint64_t offset;
    };

    void Recover();
    void ReadOrMakeEpoch();
    void ReadMarks();
    void WriteMarks(bool sync);
    // Reads a former run's segment; `expected` is the seq that should come next.
    void ScanSegment(uint64_t first, Segment &segment, uint64_t &expected);
    void DropOldest();
    void NoteLost(uint64_t first, uint64_t last);
    // Takes delivered messages off the front and moves the head.
    void Settle();
    void RemoveDeliveredSegments();

    std::string dir_;
    std::string epoch_;
    SpoolLimits limits_;
    uint64_t segmentLimit_;
    std::unique_ptr<FolderLock> lock_;
    std::map<uint64_t, Segment> segments_;   // by first seq
    JournalFile marks_;
    std::deque<Live> live_;                  // undelivered, oldest first
    uint64_t liveBytes_ = 0;
    std::set<uint64_t> acknowledged_;        // delivered, behind an older undelivered one
    uint64_t head_ = 1;                      // the oldest undelivered seq
    uint64_t next_ = 1;
    uint64_t markedNext_ = 0;                // next_ as "marks" holds it
    DroppedRun dropped_;                     // announced first; in "marks"
    std::deque<DroppedRun> laterDropped_;    // runs apart from it, announced after it
    bool roomNeeded_ = false;                // a write failed: cut back what is delivered
    bool marksChanged_ = false;
    bool marksMustSync_ = false;
    std::set<uint64_t> unsynced_;            // segments appended to since the last commit
    uint64_t cursorSeq_ = 1;                 // the next seq to hand out
};

} // namespace publish
