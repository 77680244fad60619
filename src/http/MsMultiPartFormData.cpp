#include "http/MsMultiPartFormData.h"

#include "platform/Platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>

namespace vx {

namespace {

const std::string kHyphens(27, '-');

std::string makeBoundary(const BoundaryTime& t) {
    return kHyphens + boundaryStamp(t);
}

} // namespace

BoundaryTime BoundaryTime::now() {
    using namespace std::chrono;
    const auto tp = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(tp);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &secs);
#else
    localtime_r(&secs, &tm);
#endif
    BoundaryTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond =
        static_cast<int>(duration_cast<milliseconds>(tp.time_since_epoch()).count() % 1000);
    return t;
}

std::string boundaryStamp(const BoundaryTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02d%03d", t.month % 100, t.day % 100,
                  t.year % 100, t.hour % 100, t.minute % 100, t.second % 100, t.millisecond % 1000);
    return buf;
}

TMsMultiPartFormDataStream::TMsMultiPartFormDataStream()
    : TMsMultiPartFormDataStream(BoundaryTime::now()) {}

TMsMultiPartFormDataStream::TMsMultiPartFormDataStream(const BoundaryTime& created)
    : FBoundary(makeBoundary(created)),
      FRequestContentType("multipart/form-data; boundary=" + FBoundary) {}

void TMsMultiPartFormDataStream::AddFormField(std::string_view fieldName,
                                              std::string_view fieldValue) {
    std::string part;
    part.reserve(FBoundary.size() + fieldName.size() + fieldValue.size() + 48);
    part += "\r\n--";
    part += FBoundary;
    part += "\r\n";
    part += "Content-Disposition: form-data; name=\"";
    part += fieldName;
    part += "\"";
    part += "\r\n\r\n";
    part += fieldValue;
    write(part);
}

Status TMsMultiPartFormDataStream::AddFile(std::string_view fieldName, std::string_view fileName,
                                           std::string_view contentType, Stream& fileData) {
    // The whole part is built in one buffer and appended by one write, so a failure
    // leaves the body as it was.
    try {
        const std::int64_t size = fileData.size();
        if (size < 0)
            return Error{"the file data has no size"};
        std::string part;
        part += "\r\n--";
        part += FBoundary;
        part += "\r\n";
        part += "Content-Disposition: form-data; name=\"";
        part += fieldName;
        part += "\"";
        part += "; filename=\"";
        part += fileName;
        part += "\"";
        part += "\r\n";
        part += "Content-Length: " + std::to_string(size) + "\r\n";
        part += "Content-Type: ";
        part += contentType;
        part += "\r\n\r\n";

        if (fileData.seek(0, SeekOrigin::Begin) != 0)
            return Error{"the file data cannot be positioned at its start"};
        const std::size_t headerSize = part.size();
        part.resize(headerSize + static_cast<std::size_t>(size));
        std::size_t got = 0;
        const auto want = static_cast<std::size_t>(size);
        while (got < want) {
            const std::size_t n = fileData.read(part.data() + headerSize + got, want - got);
            if (n == 0)
                break;
            got += n;
        }
        if (got != want)
            return Error{"the file data ended after " + std::to_string(got) + " of " +
                         std::to_string(size) + " bytes"};
        write(part);
    } catch (const std::bad_alloc&) {
        return Error{"the file data does not fit in memory"};
    } catch (const std::length_error&) {
        return Error{"the file data does not fit in memory"};
    }
    return Status::success();
}

Status TMsMultiPartFormDataStream::AddFile(std::string_view fieldName, std::string_view fileName,
                                           std::string_view contentType) {
    platform::SharedReadFile file;
    const std::string path(fileName);
    if (Status st = file.open(path); !st)
        return st;
    TMemoryStream data;
    try {
        char buf[64 * 1024];
        for (;;) {
            const long long n = file.read(buf, sizeof buf);
            if (n < 0)
                return Error{"cannot read " + path};
            if (n == 0)
                break;
            data.write(buf, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        return Error{path + " does not fit in memory"};
    }
    return AddFile(fieldName, fileName, contentType, data);
}

void TMsMultiPartFormDataStream::PrepareStreamForDispatch() {
    std::string closing = "\r\n--" + FBoundary + "--\r\n";
    write(closing);
    seek(0, SeekOrigin::Begin);
}

} // namespace vx
