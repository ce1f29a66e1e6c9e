// The demo camera's endless answers: MJPEG video and an event stream.
#ifndef OXR_DEMO_STREAMS_H
#define OXR_DEMO_STREAMS_H

#include "camera_context.h"
#include "http_exchange.h"

// Boundaries of the two multipart streams (sent as "--" + boundary).
constexpr const char* kVideoBoundary = "oxrframe";
constexpr const char* kEventBoundary = "oxrevent";

// /video.mjpg[?fps=N&frames=N&drop=N&drops=K]: multipart/x-mixed-replace of
// JPEG frames, each part with Content-Type and Content-Length. Stops after
// `frames` frames (0: until the camera stops) with the closing delimiter.
// With `drop`, each connection ends in the middle of its frame drop+1 (the
// first K times when `drops` is given); the same request made again within
// a few seconds goes on with that frame, so frame numbers run on.
void ServeVideo(Connection& conn, const Request& request, CameraContext& ctx);

// /events[?interval=MS&count=N]: multipart/mixed of short text events. Every
// third part is JSON sent without Content-Length, so the receiver has to
// find its end at the next boundary.
void ServeEvents(Connection& conn, const Request& request, CameraContext& ctx);

#endif
