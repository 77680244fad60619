#pragma once
// The in-memory body of a multipart/form-data POST request.
//
// Build it on one thread: create it, append the parts in order (AddFormField / AddFile),
// then hand it to an HTTP worker (http/HttpThread.h), which closes it with
// PrepareStreamForDispatch and reads it from position 0. The worker neither copies nor
// frees the body: its creator keeps it alive until the worker's FSendDone event.
//
// All texts are 8-bit strings appended as the caller's bytes, without conversion, escaping
// or quoting; the caller chooses their encoding.

#include "core/Expected.h"
#include "http/MemoryStream.h"

#include <string>
#include <string_view>

namespace vx {

// A local date and time, the source of a body's boundary.
struct BoundaryTime {
    int year = 2000; // full year, e.g. 2013
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    // The current local date and time, to the millisecond.
    static BoundaryTime now();
};

// The 15-digit stamp "mmddyyhhnnsszzz" of a time: month, day, two-digit year, 24-hour hour,
// minute, second, millisecond.
std::string boundaryStamp(const BoundaryTime& time);

class TMsMultiPartFormDataStream : public TMemoryStream {
public:
    // An empty body whose boundary comes from the current local time.
    TMsMultiPartFormDataStream();
    // An empty body whose boundary comes from the given time (for reproducible bodies).
    explicit TMsMultiPartFormDataStream(const BoundaryTime& created);

    TMsMultiPartFormDataStream(const TMsMultiPartFormDataStream&) = delete;
    TMsMultiPartFormDataStream& operator=(const TMsMultiPartFormDataStream&) = delete;

    // 27 hyphens and the 15-digit stamp of the creation time: 42 characters. There is no
    // random part: bodies created in the same millisecond share it.
    const std::string FBoundary;
    // "multipart/form-data; boundary=" + FBoundary: the request's Content-Type.
    const std::string FRequestContentType;

    // Appends one text part: CRLF "--" boundary CRLF, the Content-Disposition line with
    // the name, an empty line, then the value.
    void AddFormField(std::string_view fieldName, std::string_view fieldValue);

    // Appends one file part holding the whole content of fileData (read from position 0):
    // Content-Disposition with name and file name, Content-Length, Content-Type, an empty
    // line, the bytes. Fails when the stream cannot be read whole or the content does not
    // fit in memory; nothing is appended then.
    Status AddFile(std::string_view fieldName, std::string_view fileName,
                   std::string_view contentType, Stream& fileData);

    // Opens the file at the path fileName and appends it as above, with fileName written
    // unchanged as the part's file name. Fails, appending nothing, when the file cannot be
    // opened or read; the error names the path and the system's reason.
    Status AddFile(std::string_view fieldName, std::string_view fileName,
                   std::string_view contentType);

    // Appends the closing delimiter (CRLF "--" boundary "--" CRLF) and sets the position
    // to 0. Called once, after the last part; the HTTP worker calls it.
    void PrepareStreamForDispatch();
};

} // namespace vx
