// The client killed while it writes Users.xml: a child process does what a login does to the
// file (read it, add or update a user, write it back owner-only) over and over, and is
// killed with SIGKILL after a random delay. Afterwards the file must be the old or a new
// version, always parsable, never shorter than a version written before.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/Xml.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// The login's update of the file: the user is added (or its password set) and made the
// default one. Repeats until killed, or `count` times and exits 0.
[[noreturn]] void writeForever(const std::string& path, int start, int count = -1) {
    for (int n = start;; ++n) {
        if (count >= 0 && n - start == count)
            ::_exit(0);
        pugi::xml_document doc;
        if (!vx::xml::load(doc, path).ok())
            ::_exit(3); // the test sees the exit status: a file it could not read
        auto root = doc.document_element();
        auto def = root.child("DefUser");
        def.attribute("user") = ("user" + std::to_string(n)).c_str();
        auto u = root.append_child("User");
        u.append_attribute("user") = ("user" + std::to_string(n)).c_str();
        u.append_attribute("pwd") = std::string(40, static_cast<char>('a' + n % 26)).c_str();
        if (!vx::xml::save(doc, path, true).ok())
            ::_exit(4);
    }
}

// Users in the file; -1 when it does not parse or is not a Users document.
int usersIn(const std::string& path) {
    pugi::xml_document doc;
    if (!vx::xml::load(doc, path).ok())
        return -1;
    auto root = doc.document_element();
    if (std::string_view(root.name()) != "Users" || !root.child("DefUser"))
        return -1;
    int n = 0;
    for (auto u : root.children("User")) {
        if (std::string(u.attribute("pwd").value()).size() != 40)
            return -1;
        ++n;
    }
    return n;
}

} // namespace

TEST(KillDuringWrite, UsersXmlIsAlwaysTheOldOrTheNewVersion) {
    vxtest::TempDir dir("kill");
    const std::string path = dir.file("Users.xml");
    {
        pugi::xml_document doc;
        auto root = doc.append_child("Users");
        auto def = root.append_child("DefUser");
        def.append_attribute("user") = "";
        def.append_attribute("pwd") = "";
        def.append_attribute("auto") = "false";
        // A document of some size, so that a kill can land in the middle of its write.
        for (int i = 0; i < 1500; ++i) {
            auto u = root.append_child("User");
            u.append_attribute("user") = ("old" + std::to_string(i)).c_str();
            u.append_attribute("pwd") = std::string(40, 'o').c_str();
        }
        ASSERT_TRUE(vx::xml::save(doc, path, true).ok());
    }
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* s = std::getenv("VX_STRESS_SEED"))
        seed = static_cast<unsigned>(std::stoul(s));
    std::printf("kill runs: seed %u\n", seed);
    std::fflush(stdout); // not again in every child
    std::mt19937 rng(seed);

    // How long a fresh writer takes to start and write once (much longer in sanitizer
    // builds); the kills are spread from just after the start to several writes in.
    int maxDelayUs = 20000;
    {
        const std::string probe = dir.file("probe.xml");
        fs::copy_file(path, probe);
        const auto t0 = std::chrono::steady_clock::now();
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            writeForever(probe, 0, 1);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const auto once = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - t0);
        maxDelayUs = std::max<int>(maxDelayUs, static_cast<int>(once.count()) * 4);
        fs::remove(probe);
    }
    std::printf("kills within %d us of the start\n", maxDelayUs);

    constexpr int kKills = 300;
    int last = usersIn(path);
    ASSERT_EQ(last, 1500);
    int grew = 0;
    for (int i = 0; i < kKills; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            writeForever(path, i * 1000);
        // From just after the start to several writes in.
        ::usleep(static_cast<useconds_t>(rng() % maxDelayUs));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with status "
                                         << WEXITSTATUS(status) << " (3: unreadable file)";
        int now = usersIn(path);
        ASSERT_GE(now, last) << "kill " << i << ": the file is broken or older than before";
        grew += now > last;
        last = now;
    }
    std::printf("%d kills, %d of them after at least one new version, %d users at the end\n", kKills,
                grew, last);
    // Temporary files of killed writes never replace the file.
    int leftovers = 0;
    for (const auto& e : fs::directory_iterator(dir.path()))
        leftovers += e.path().filename() != "Users.xml";
    std::printf("temporary files left by killed writers: %d\n", leftovers);
    // Each new writer removes what killed ones left; at most the last kill's file remains.
    EXPECT_LE(leftovers, 1);
    EXPECT_GT(grew, 0) << "no write ever completed: the kills came too early to prove anything";
}
