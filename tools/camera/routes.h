// The demo camera's paths: which request gets which answer.
#ifndef OXR_DEMO_ROUTES_H
#define OXR_DEMO_ROUTES_H

#include "camera_context.h"
#include "http_exchange.h"

// Answers one request on a connection. Streams run until their limit,
// the client leaves, or the camera stops.
void ServeRequest(Connection& conn, const Request& request, CameraContext& ctx);

// Sends a complete response with a body (only the head for HEAD requests).
bool SendResponse(Connection& conn, const Request& request, int nStatus,
                  const std::string& contentType, const std::string& body, HeaderList extra = {});

#endif
