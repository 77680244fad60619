// vxpack: builds an application package. Usage: vxpack OUT.zip ENTRY=FILE...
// Each FILE is stored under the name ENTRY; Unix file modes are kept so that programs stay
// runnable once unpacked.

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <zip.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: vxpack OUT.zip ENTRY=FILE...\n");
        return 2;
    }
    const std::string out = argv[1];
    const std::string temp = out + ".part";
    std::remove(temp.c_str());
    int err = 0;
    zip_t* z = zip_open(temp.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z) {
        std::fprintf(stderr, "vxpack: cannot create %s (libzip error %d)\n", temp.c_str(), err);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "vxpack: %s is not ENTRY=FILE\n", arg.c_str());
            zip_discard(z);
            return 2;
        }
        const std::string entry = arg.substr(0, eq), file = arg.substr(eq + 1);
        struct stat st {};
        zip_source_t* src =
            ::stat(file.c_str(), &st) == 0 ? zip_source_file(z, file.c_str(), 0, -1) : nullptr;
        zip_int64_t idx =
            src ? zip_file_add(z, entry.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) : -1;
        if (idx < 0) {
            std::fprintf(stderr, "vxpack: cannot add %s: %s\n", file.c_str(), zip_strerror(z));
            if (src)
                zip_source_free(src);
            zip_discard(z);
            return 1;
        }
        const zip_uint32_t mode = (st.st_mode & 0111) ? 0100755 : 0100644;
        zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                         mode << 16);
    }
    if (zip_close(z) != 0) {
        std::fprintf(stderr, "vxpack: cannot write %s: %s\n", out.c_str(), zip_strerror(z));
        zip_discard(z);
        return 1;
    }
    if (std::rename(temp.c_str(), out.c_str()) != 0) {
        std::perror("vxpack: rename");
        return 1;
    }
    return 0;
}
