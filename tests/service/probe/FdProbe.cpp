// A program for the launch tests: writes what it was started with to the file named by its
// first argument, in its working folder: "pid <n>", then one "<fd> <target>" line for each
// open descriptor. With a second argument "--stay" it then waits until it is killed (at most
// a minute), so that a test can look at the client while a launched program runs.

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::string out = "pid " + std::to_string(::getpid()) + "\n";
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return 1;
    const int own = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == own)
            continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) < 0)
            std::strcpy(target, "?");
        out += std::string(e->d_name) + " " + target + "\n";
    }
    ::closedir(d);
    const std::string temp = std::string(argv[1]) + ".tmp";
    if (FILE* f = std::fopen(temp.c_str(), "w")) {
        std::fputs(out.c_str(), f);
        std::fclose(f);
        std::rename(temp.c_str(), argv[1]);
    }
    if (argc > 2 && std::strcmp(argv[2], "--stay") == 0)
        ::sleep(60);
    return 0;
}
