#pragma once
// The whole-call percentage of the downloader: every byte of every file of a call counts.
//
// Sizes come from a HEAD request per file (for calls of several files) and from each
// response's Content-Length or Content-Range as its transfer starts. A file whose size is
// still unknown weighs as much as the average known file (1 MiB when none is known) and
// counts only once it is complete. The files of a call may arrive on several threads at
// once: every method may be called from any of them, and reports go out one at a time. The percentage never falls (a restarted file does not
// take it back), stays below 100 until every file is complete, and is reported only when
// it changes.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace vxdl {

class Progress {
public:
    Progress(std::size_t files, std::function<void(int)> report)
        : m_sizes(files), m_bytes(files, 0), m_done(files, false), m_report(std::move(report)) {}

    // Reports 0.
    void start() {
        std::lock_guard lock(m_mutex);
        emit(0);
    }
    void setSize(std::size_t file, std::uint64_t size) {
        std::lock_guard lock(m_mutex);
        m_sizes[file] = size;
        recompute();
    }
    // The bytes of `file` received so far (including a resumed part).
    void setBytes(std::size_t file, std::uint64_t bytes) {
        std::lock_guard lock(m_mutex);
        m_bytes[file] = bytes;
        recompute();
    }
    void fileDone(std::size_t file) {
        std::lock_guard lock(m_mutex);
        m_done[file] = true;
        recompute();
    }
    // Every file is in place: reports 100.
    void finish() {
        std::lock_guard lock(m_mutex);
        emit(100);
    }

private:
    void recompute() {
        double known = 0;
        std::size_t knownCount = 0;
        for (const auto& s : m_sizes)
            if (s) {
                known += static_cast<double>(*s);
                ++knownCount;
            }
        const double fallback = knownCount ? known / static_cast<double>(knownCount) : 1048576.0;
        double total = 0, done = 0;
        for (std::size_t i = 0; i < m_sizes.size(); ++i) {
            double weight = m_sizes[i] ? static_cast<double>(*m_sizes[i]) : fallback;
            total += weight;
            if (m_done[i])
                done += weight;
            else if (m_sizes[i])
                done += std::min(weight, static_cast<double>(m_bytes[i]));
        }
        if (std::all_of(m_done.begin(), m_done.end(), [](bool d) { return d; }))
            return emit(100);
        int percent = total > 0 ? static_cast<int>(done * 100.0 / total) : 0;
        emit(std::min(percent, 99));
    }
    void emit(int percent) {
        if (percent > m_last) {
            m_last = percent;
            m_report(percent);
        }
    }

    std::vector<std::optional<std::uint64_t>> m_sizes;
    std::vector<std::uint64_t> m_bytes;
    std::vector<bool> m_done;
    std::function<void(int)> m_report;
    int m_last = -1;
    std::mutex m_mutex;
};

} // namespace vxdl
