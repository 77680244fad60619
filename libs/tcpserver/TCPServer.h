#pragma once
/*
 * The link server: a local TCP server through which running applications and the client
 * exchange text messages. Built as the shared library libTCPServer (TCPServer.dll on Windows)
 * and loaded at run time; the wire format is in docs/link-protocol.md.
 *
 * Every text is a NUL-terminated narrow string in the system's ANSI code page (GBK on the
 * systems the client serves). Every entry may be called from any thread, including from
 * inside the callback, and never throws. Each returns 0 on success or a negative
 * TCPSERVER_E_* code; callers may ignore the result.
 *
 * The callback is called on the server's own thread, one message at a time and never
 * re-entered; the text is valid only during the call. Texts it receives:
 *   "应用上线:appID=<id>"  an application registered as <id> (one per connection);
 *   "应用下线:appID=<id>"  that connection has gone (closed by either side or by the limits);
 *   anything else          one frame of a registered application, byte for byte.
 * DisconnectAll waits for a running callback to return, so the callback must never wait
 * for the thread that calls DisconnectAll (hand the copied text over, do not block on it).
 */

#if defined(_WIN32)
#define TCPSERVER_CALL __stdcall
#if defined(TCPSERVER_BUILD)
#define TCPSERVER_API __declspec(dllexport)
#else
#define TCPSERVER_API __declspec(dllimport)
#endif
#else
#define TCPSERVER_CALL
#define TCPSERVER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define TCPSERVER_OK 0
#define TCPSERVER_E_ARGUMENT (-1)        /* a missing or malformed argument */
#define TCPSERVER_E_NOT_RUNNING (-2)     /* no server is running */
#define TCPSERVER_E_ALREADY_RUNNING (-3) /* StartServer while a server runs; it keeps running */
#define TCPSERVER_E_LISTEN (-4)          /* the address and port could not be bound */
#define TCPSERVER_E_TOO_LARGE (-5)       /* a text longer than one frame (64 KiB) */
#define TCPSERVER_E_INTERNAL (-6)        /* out of resources or an unexpected failure */

/* The message callback (the client's LinkNotify). */
typedef void(TCPSERVER_CALL* TCPServerNotify)(const char* text);

/* Starts listening on address (a numeric IP, e.g. "127.0.0.1") and port (decimal text) on a
 * thread of the library. Only peers on the loopback network that run as the same user as
 * this process are served; others are closed at once, unheard. The port is bound
 * before the call returns: TCPSERVER_E_LISTEN when it cannot be (in use, not a local
 * address), TCPSERVER_E_ARGUMENT for a malformed address or port or a null callback. */
TCPSERVER_API int TCPSERVER_CALL StartServer(const char* address, const char* port,
                                             TCPServerNotify callback);

/* Stops the server: closes every connection and the listening socket and ends the thread.
 * No callback is made for the connections it closes, and none at all once it returns (when
 * called from inside the callback, none after that callback). The port is free again when it
 * returns, and StartServer may be called again. TCPSERVER_E_NOT_RUNNING when none runs. */
TCPSERVER_API int TCPSERVER_CALL DisconnectAll(void);

/* Closes every application connection; the server keeps listening, so applications may
 * reconnect. Each registered connection closed gives "应用下线:appID=<id>". Asynchronous:
 * the connections close on the server thread shortly after the call, in call order with the
 * other entries. For 10 seconds afterwards, messages for an id whose connections it closed
 * are held (at most 64 messages, 256 KiB of text) and sent, in order, to each of them that
 * registers again, right after its OK and UID: CloseAll, SetUid, sendToApp reaches the
 * application once it is back. */
TCPSERVER_API int TCPSERVER_CALL CloseAll(void);

/* Remembers the logged-in user's id. Every application registered now is told at once, and
 * every application that registers later is told right after its registration. The id is
 * kept across DisconnectAll / StartServer. An empty id (or a null pointer) means no user:
 * registered applications are told the empty id, later ones are told nothing.
 * TCPSERVER_E_TOO_LARGE for an id above 32 KiB (nothing changes). */
TCPSERVER_API int TCPSERVER_CALL SetUid(const char* uid);

/* Sends message ("appID=<id>&parma=<payload>") unchanged, as one frame, to every connection
 * registered as <id>. Asynchronous: 0 means accepted; when no application with that id is
 * connected at delivery time the message is dropped, unless CloseAll has just closed that id
 * (see CloseAll). TCPSERVER_E_ARGUMENT when the text does
 * not begin with "appID=" and a non-negative 32-bit decimal id, TCPSERVER_E_TOO_LARGE above
 * 64 KiB. */
TCPSERVER_API int TCPSERVER_CALL sendToApp(const char* message);

/* For tests and tuning only; the client never calls it. Sets the registration deadline in
 * milliseconds (default 5000), the connection limit (default 512) and the per-connection limit
 * of queued outgoing bytes (default 4 MiB). A value <= 0 restores that default. Applies to
 * connections accepted afterwards. */
TCPSERVER_API int TCPSERVER_CALL LinkServerSetLimitsForTesting(int registrationTimeoutMs,
                                                               int maxConnections,
                                                               int maxQueuedBytes);

/* Entry types for run-time lookup (dlsym / GetProcAddress). */
typedef int(TCPSERVER_CALL* StartServerProc)(const char*, const char*, TCPServerNotify);
typedef int(TCPSERVER_CALL* DisconnectAllProc)(void);
typedef int(TCPSERVER_CALL* CloseAllProc)(void);
typedef int(TCPSERVER_CALL* SetUidProc)(const char*);
typedef int(TCPSERVER_CALL* SendToAppProc)(const char*);
typedef int(TCPSERVER_CALL* LinkServerSetLimitsProc)(int, int, int);

#ifdef __cplusplus
}
#endif
