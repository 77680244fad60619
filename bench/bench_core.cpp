// Throughput of the core's digest and encoders against baselines measured in the same run:
// FileMD5 against md5sum of the same file, Base64Encode and ScrambleParam against bare
// libcrypto base64 calls over the same bytes.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "core/Crypto.h"
#include "core/Text.h"

namespace {

std::string makeFile(std::size_t bytes) {
    std::string path = (std::filesystem::temp_directory_path() / "vx-bench-md5.bin").string();
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    unsigned x = 12345;
    for (char& c : block)
        c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    for (std::size_t done = 0; done < bytes; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    return path;
}

std::string bareBase64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

} // namespace

int main() {
    constexpr std::size_t kFile = 256u << 20;
    std::string path = makeFile(kFile);
    std::string digest;
    double ours = vxbench::bestOf(3, [&] { digest = *vx::FileMD5(path); });
    std::string cmd = "md5sum '" + path + "' > /dev/null";
    double base = vxbench::bestOf(3, [&] {
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "md5sum failed\n");
    });
    vxbench::report("FileMD5 256 MiB (MiB/s) vs md5sum", 256 / ours, 256 / base, "MiB/s");
    std::filesystem::remove(path);

    // Base64 of 64 MiB of ASCII text (the ANSI step is a copy for ASCII).
    std::string text(64u << 20, 'a');
    std::size_t sink = 0;
    ours = vxbench::bestOf(3, [&] { sink += vx::Base64Encode(text).size(); });
    base = vxbench::bestOf(3, [&] { sink += bareBase64(text).size(); });
    vxbench::report("Base64Encode 64 MiB (MiB/s) vs EVP_EncodeBlock", 64 / ours, 64 / base,
                    "MiB/s");

    // The scrambler on user ids, as the client calls it.
    constexpr int kCalls = 200000;
    ours = vxbench::bestOf(3, [&] {
        for (int i = 0; i < kCalls; ++i)
            sink += vx::ScrambleParam(std::to_string(100000 + i)).size();
    });
    const std::string pad = vx::md5HexLower("w5k8n2p7s_d4h6v");
    base = vxbench::bestOf(3, [&] {
        for (int i = 0; i < kCalls; ++i) {
            std::string a = bareBase64(std::to_string(100000 + i));
            for (std::size_t j = 0; j < a.size(); ++j)
                a[j] = static_cast<char>(a[j] ^ pad[j % 32]);
            sink += bareBase64(a).size();
        }
    });
    vxbench::report("ScrambleParam (calls/s) vs bare base64+xor", kCalls / ours, kCalls / base,
                    "calls/s");
    return sink == 0;
}
