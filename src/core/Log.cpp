#include "core/Log.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "platform/Platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace vx::log {

namespace {

std::mutex g_mutex;
std::shared_ptr<spdlog::details::thread_pool> g_pool;
std::shared_ptr<spdlog::sinks::rotating_file_sink_mt> g_sink;
std::shared_ptr<spdlog::async_logger> g_logger;

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

} // namespace

std::string defaultFolder() {
    const std::string base = platform::userStateFolder();
    if (base.empty())
        return {};
    return (std::filesystem::path(base) / "vxcenter").string();
}

bool start(const std::string& folder) {
    stop();
    if (folder.empty())
        return false;
    try {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
#ifndef _WIN32
        ::chmod(folder.c_str(), 0700);
#endif
        spdlog::file_event_handlers events;
        // Each file (the first and every one a rotation opens) is its owner's alone.
        events.after_open = [](const spdlog::filename_t&, std::FILE* f) {
#ifndef _WIN32
            if (f)
                ::fchmod(::fileno(f), 0600);
#else
            (void)f;
#endif
        };
        const std::string path = (std::filesystem::path(folder) / kFileName).string();
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kMaxBytes,
                                                                           kFiles - 1, false, events);
        auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
        auto logger = std::make_shared<spdlog::async_logger>(
            "vxcenter", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
        logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e%z [%t] %v");
        logger->set_level(spdlog::level::info);
        logger->flush_on(spdlog::level::warn);
        logger->set_error_handler([](const std::string&) {}); // a full disk loses lines
        std::lock_guard lock(g_mutex);
        g_pool = std::move(pool);
        g_sink = std::move(sink);
        g_logger = std::move(logger);
        return true;
    } catch (...) {
        return false;
    }
}

void stop() {
    std::shared_ptr<spdlog::async_logger> logger;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    {
        std::lock_guard lock(g_mutex);
        logger = std::move(g_logger);
        pool = std::move(g_pool);
        g_sink.reset();
    }
    try {
        if (logger)
            logger->flush();
    } catch (...) {
    }
    logger.reset();
    pool.reset(); // joins the writing thread once the queue is empty
}

void flush() {
    std::shared_ptr<spdlog::async_logger> logger;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    {
        std::lock_guard lock(g_mutex);
        logger = g_logger;
        pool = g_pool;
    }
    if (!logger || !pool)
        return;
    try {
        logger->flush(); // queued behind every line written before
        // The flush is itself queued: wait until the writing thread has reached it.
        for (int i = 0; i < 2000 && pool->queue_size() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } catch (...) {
    }
}

bool started() {
    std::lock_guard lock(g_mutex);
    return g_logger != nullptr;
}

void write(std::string_view area, std::string_view event) {
    std::shared_ptr<spdlog::async_logger> logger;
    {
        std::lock_guard lock(g_mutex);
        logger = g_logger;
    }
    if (!logger)
        return;
    try {
        std::string line = "[" + std::string(area) + "] " + redact(event);
        for (char& c : line)
            if (c == '\n' || c == '\r')
                c = ' ';
        logger->info(line);
    } catch (...) {
    }
}

std::string redact(std::string_view text) {
    static const char* const kParams[] = {"u", "uid", "pwd", "pws", "password", "token", "key"};
    static const char* const kHeaders[] = {"authorization:", "cookie:"};
    std::string out(text);
    std::string lower = out;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Parameters: NAME=VALUE where NAME starts the text or follows a non-name character.
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '=')
            continue;
        std::size_t start = i;
        while (start > 0 && isNameChar(out[start - 1]))
            --start;
        const std::string name = lower.substr(start, i - start);
        if (std::none_of(std::begin(kParams), std::end(kParams),
                         [&](const char* p) { return name == p; }))
            continue;
        std::size_t end = i + 1;
        while (end < out.size() && out[end] != '&' && out[end] != ' ' && out[end] != '\t' &&
               out[end] != '"' && out[end] != '\'' && out[end] != ';' && out[end] != ',')
            ++end;
        if (end == i + 1)
            continue;
        out.replace(i + 1, end - i - 1, "***");
        lower.replace(i + 1, end - i - 1, "***");
        i += 3;
    }
    for (const char* h : kHeaders) {
        for (std::size_t at = lower.find(h); at != std::string::npos; at = lower.find(h, at + 1)) {
            const std::size_t from = at + std::char_traits<char>::length(h);
            std::size_t end = out.find_first_of("\r\n", from);
            if (end == std::string::npos)
                end = out.size();
            out.replace(from, end - from, " ***");
            lower.replace(from, end - from, " ***");
        }
    }
    return out;
}

} // namespace vx::log
