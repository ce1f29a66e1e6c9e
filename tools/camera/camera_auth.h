// Which authorization each of the demo camera's requests needs (none, Basic
// or Digest), and the 401 answers with their challenges.
#ifndef OXR_DEMO_CAMERA_AUTH_H
#define OXR_DEMO_CAMERA_AUTH_H

#include "camera_context.h"
#include "connection.h"
#include "http_exchange.h"

enum class AuthScheme { kNone, kBasic, kDigest };

// The admin commands always want authorization, the snapshot with
// --auth digest, the video with auth=1; auth=digest or auth=basic in the
// query of any of the three picks the scheme for that request.
AuthScheme RequiredScheme(const Request& request, const CameraOptions& options);

// True when the request may be answered; otherwise it has been answered with 401.
bool Admit(Connection& conn, const Request& request, CameraContext& ctx);

#endif
