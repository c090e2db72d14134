#include "fileio.h"
#include "exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// A scratch folder owned by "nobody", the working directory of the tests,
// since the window names its files relatively. The tests run as root, who
// may write anything; the faults only show for an ordinary user.
class FileSaving : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kz_fileio_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        top_ = pattern;
        fs::permissions(top_, fs::perms(0755));
        dir_ = top_ / "work";
        fs::create_directory(dir_);
        Own(dir_);
        old_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(old_);
        fs::permissions(dir_, fs::perms(0755));
        fs::remove_all(top_);
    }
    // Run by an ordinary user already, the tests need not change user.
    static bool Root() { return ::geteuid() == 0; }
    static void Own(const fs::path &path)
    {
        if (Root()) {
            ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0);
        }
    }
    static void Write(const fs::path &name, const std::string &bytes, mode_t mode = 0644)
    {
        std::ofstream(name, std::ios::binary) << bytes;
        fs::permissions(name, fs::perms(mode));
        Own(name);
    }
    static std::string Read(const fs::path &name)
    {
        std::ifstream in(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static mode_t Mode(const fs::path &name)
    {
        struct stat st {};
        ::stat(name.c_str(), &st);
        return st.st_mode & 07777;
    }
    // Runs f as "nobody" in a child; returns the message it raised, "" if none.
    static std::string AsNobody(const std::function<void()> &f) { return AsUser(kNobody, f); }
    static std::string AsUser(uid_t user, const std::function<void()> &f)
    {
        int pipe[2];
        if (::pipe(pipe) != 0)
            return "no pipe";
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipe[0]);
            ::alarm(20);
            std::string message;
            if (Root() && (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) {
                message = "cannot drop privileges";
            } else {
                try {
                    f();
                } catch (const std::exception &e) {
                    message = e.what();
                }
            }
            (void)!::write(pipe[1], message.data(), message.size());
            ::_exit(0);
        }
        ::close(pipe[1]);
        std::string message;
        char piece[256];
        for (ssize_t got; (got = ::read(pipe[0], piece, sizeof piece)) > 0;)
            message.append(piece, static_cast<size_t>(got));
        ::close(pipe[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status))
            return "child died";
        return message;
    }
    static size_t Entries(const fs::path &dir)
    {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }

    fs::path top_, dir_, old_;
};

} // namespace

TEST_F(FileSaving, WriteProtectedFileIsRefusedAndKept)
{
    for (const char *name : {"substi.txt", "ZOP-Update.exe", "firmware.acy"}) {
        Write(name, "old\r\n", 0444);
        EXPECT_EQ(AsNobody([&] { SaveFileBytes(name, "new\r\n"); }), std::string("Cannot create file ") + name);
        EXPECT_EQ(Read(name), "old\r\n");
        EXPECT_EQ(Mode(name), 0444u);
    }
    EXPECT_EQ(Entries(dir_), 3u);
}

TEST_F(FileSaving, SymlinkIsFollowedAndTheSharedFileKeepsItsMode)
{
    fs::create_directory(top_ / "shared");
    Own(top_ / "shared");
    Write(top_ / "shared" / "list.txt", "old\r\n", 0640);
    fs::create_symlink("../shared/list.txt", "substi.txt");
    Own("substi.txt");

    EXPECT_EQ(AsNobody([] { SaveFileBytes("substi.txt", "1=a\r\n"); }), "");
    EXPECT_TRUE(fs::is_symlink("substi.txt"));
    EXPECT_EQ(Read(top_ / "shared" / "list.txt"), "1=a\r\n");
    EXPECT_EQ(Mode(top_ / "shared" / "list.txt"), 0640u);
    EXPECT_EQ(Entries(top_ / "shared"), 1u);
    EXPECT_EQ(Entries(dir_), 1u);
}

// Another user plants a link, or a file of theirs with a second name, in a
// shared sticky folder: saving under that name must not reach the victim's
// file nor write into the planter's. The user's own link there still works.
TEST_F(FileSaving, InASharedStickyFolderOnlyTheUsersOwnLinksAndFilesAreUsed)
{
    if (!Root())
        GTEST_SKIP() << "needs root to act as two users";
    constexpr uid_t kOther = kNobody - 1;
    const fs::path shared = top_ / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms(01777));
    Write("mine.txt", "victim's\r\n", 0600);
    const fs::path mine = dir_ / "mine.txt";
    fs::create_symlink(mine, shared / "planted-link");
    ASSERT_EQ(::lchown((shared / "planted-link").c_str(), kOther, kOther), 0);
    std::ofstream(shared / "planted-file") << "planter's\r\n";
    fs::permissions(shared / "planted-file", fs::perms(0666));
    ASSERT_EQ(::chown((shared / "planted-file").c_str(), kOther, kOther), 0);
    fs::create_hard_link(shared / "planted-file", shared / "planter-reads-this");

    for (const char *name : {"planted-link", "planted-file"}) {
        const std::string message = AsNobody([&] { SaveFileBytes((shared / name).string(), "1=a\r\n"); });
        EXPECT_EQ(message, "Cannot create file " + (shared / name).string());
    }
    EXPECT_EQ(Read(mine), "victim's\r\n");
    EXPECT_EQ(Read(shared / "planter-reads-this"), "planter's\r\n");
    try {
        SaveFileBytes((shared / "planted-link").string(), "x");   // the reason is given under the message
        ADD_FAILURE() << "root saved through the planted link";
    } catch (const Exception &e) {
        EXPECT_NE(e.Informative().find("of user " + std::to_string(kOther)), std::string::npos) << e.Informative();
    }

    fs::create_symlink(mine, shared / "own-link");
    Own(shared / "own-link");
    EXPECT_EQ(AsNobody([&] { SaveFileBytes((shared / "own-link").string(), "1=a\r\n"); }), "");
    EXPECT_EQ(Read(mine), "1=a\r\n");
}

// Root saves again and again in a shared sticky folder while another user
// keeps putting a link under the name, to a file of a third user: no saved
// file may take that file's owner or mode.
TEST_F(FileSaving, RootSavingInAStickyFolderNeverTakesOwnerOrModeFromAnotherUsersLink)
{
    if (!Root())
        GTEST_SKIP() << "needs root to act as two users";
    constexpr uid_t kThird = kNobody - 1;
    const fs::path shared = top_ / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms(01777));
    const fs::path name = shared / "list.txt";
    const fs::path parked = shared / "parked";
    const fs::path bait = shared / "bait";
    std::ofstream(bait) << "third's";
    fs::permissions(bait, fs::perms(0666));
    ASSERT_EQ(::chown(bait.c_str(), kThird, kThird), 0);

    const pid_t toggler = ::fork();
    if (toggler == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0
            || ::symlink(bait.c_str(), parked.c_str()) != 0)
            ::_exit(1);
        ::alarm(60);
        // The link comes and goes; a saved file (root's or the third user's)
        // cannot be moved or replaced by this user and stays for root to see.
        for (;;) {
            (void)!::rename(parked.c_str(), name.c_str());
            (void)!::rename(name.c_str(), parked.c_str());
        }
    }
    int taken = 0, saved = 0;
    for (int i = 0; i < 1000; ++i) {
        try {
            SaveFileBytes(name.string(), "1=a\r\n");
        } catch (const Exception &) {
            continue;   // the link was there when looked at
        }
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ++saved;
            taken += st.st_uid != 0 || (st.st_mode & 0777) == 0666;
            ::unlink(name.c_str());   // so that the race goes on
        }
    }
    ::kill(toggler, SIGKILL);
    int status = 0;
    ::waitpid(toggler, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the other user's link was not made";
    EXPECT_EQ(taken, 0) << "of " << saved << " saves";
    EXPECT_EQ(Read(bait), "third's");
}

TEST_F(FileSaving, ReadOnlyFolderWithWritableFileIsWrittenInPlace)
{
    Write("substi.txt", "a much longer old content\r\n", 0600);
    fs::permissions(dir_, fs::perms(0555));
    EXPECT_EQ(AsNobody([] { SaveFileBytes("substi.txt", "1=a\r\n"); }), "");
    EXPECT_EQ(Read("substi.txt"), "1=a\r\n");
    EXPECT_EQ(Mode("substi.txt"), 0600u);
    // A new file cannot be made there.
    EXPECT_EQ(AsNobody([] { SaveFileBytes("firmware.acy", "x"); }), "Cannot create file firmware.acy");
    EXPECT_EQ(Entries(dir_), 1u);
}

// A save killed at any moment must leave nothing stray for good. The child
// saves a large file and is stopped the moment it holds a file open in the
// folder, then killed.
TEST_F(FileSaving, SaveKilledMidWriteLeavesNothingStray)
{
    Write("substi.txt", "old\r\n");
    bool killedMidSave = false;
    for (size_t megabytes = 64; megabytes <= 256 && !killedMidSave; megabytes *= 2) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(60);
            const std::string big(megabytes << 20, 'x');
            SaveFileBytes("substi.txt", big);
            ::_exit(0);
        }
        const std::string fds = "/proc/" + std::to_string(child) + "/fd";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            ::kill(child, SIGSTOP);
            int status = 0;
            if (::waitpid(child, &status, WUNTRACED) != child || !WIFSTOPPED(status))
                break;  // finished before we caught it: try a larger file
            std::error_code error;
            for (const auto &fd : fs::directory_iterator(fds, error)) {
                const std::string target = fs::read_symlink(fd.path(), error).string();
                if (target.rfind(dir_.string() + "/", 0) == 0)
                    killedMidSave = true;
            }
            if (killedMidSave)
                break;
            ::kill(child, SIGCONT);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::kill(child, SIGKILL);
        ::kill(child, SIGCONT);
        ::waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(killedMidSave);
    EXPECT_EQ(Read("substi.txt"), "old\r\n");

    SaveFileBytes("substi.txt", "1=a\r\n");
    EXPECT_EQ(Read("substi.txt"), "1=a\r\n");
    EXPECT_EQ(Entries(dir_), 1u);
}

TEST_F(FileSaving, OnlyBoundedRegularFilesAreRead)
{
    ASSERT_EQ(::mkfifo("substi.txt", 0644), 0);
    fs::create_symlink("/dev/zero", "firmware.acy");
    {
        std::ofstream("big.txt");
        fs::resize_file("big.txt", kSubstitutionFileLimit + 1);  // sparse
    }
    Write("ok.txt", "1=a\r\n");
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);  // a blocking open would hang here
        int failures = 0;
        for (const char *name : {"substi.txt", "firmware.acy", "big.txt"}) {
            try {
                LoadFileBytes(name);
            } catch (const EFOpenError &e) {
                failures += e.Message() == std::string("Cannot open file ") + name;
            }
        }
        ::_exit(failures == 3 && LoadFileBytes("ok.txt") == "1=a\r\n" ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "blocked or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Saving refuses to turn the FIFO into a file.
    EXPECT_THROW(SaveFileBytes("substi.txt", "x"), EFCreateError);
    EXPECT_TRUE(fs::is_fifo("substi.txt"));
}
