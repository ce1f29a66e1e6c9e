// The demo camera's paths: which request gets which answer.
#ifndef OXR_DEMO_ROUTES_H
#define OXR_DEMO_ROUTES_H

#include "camera_context.h"
#include "http_exchange.h"

// Answers one request on a connection. Streams run until their limit,
// the client leaves, or the camera stops. True when the answer had a length
// (Content-Length or chunked), so the connection can carry another request
// if request.bKeepAlive; false for streams and /cut, which end with it.
bool ServeRequest(Connection& conn, const Request& request, CameraContext& ctx);

// Sends a complete response with a body and its Content-Length (only the
// head for HEAD requests; no body at all for 204 and 304). "Connection:
// close" unless request.bKeepAlive.
bool SendResponse(Connection& conn, const Request& request, int nStatus,
                  const std::string& contentType, const std::string& body, HeaderList extra = {});

// The same with Transfer-Encoding: chunked, the body cut into chunks of at
// most nChunk bytes; to an HTTP/1.0 client, which knows no chunks, as SendResponse.
bool SendChunkedResponse(Connection& conn, const Request& request, const std::string& contentType,
                         const std::string& body, size_t nChunk);

#endif
