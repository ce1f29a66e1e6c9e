#include "camera_auth.h"

#include <cstdio>

#include "basic_auth.h"
#include "digest_check.h"
#include "routes.h"

namespace {

AuthScheme CameraScheme(const CameraOptions& options) {
    return options.auth == CameraAuth::kDigest ? AuthScheme::kDigest : AuthScheme::kBasic;
}

bool AdmitBasic(Connection& conn, const Request& request, const CameraContext& ctx) {
    if (IsAuthorized(request.Header("Authorization"), ctx.Options().credentials)) {
        return true;
    }
    SendResponse(conn, request, 401, "text/plain", "authorization required\n",
                 {{"WWW-Authenticate", std::string("Basic realm=\"") + kCameraRealm + "\""}});
    return false;
}

bool AdmitDigest(Connection& conn, const Request& request, CameraContext& ctx) {
    const DigestOffer offer = OfferFor(request);
    const std::string& credentials = ctx.Options().credentials;
    const bool bAnswered = request.HasHeader("Authorization");
    const DigestCheck check = CheckDigestAnswer(request, offer, credentials, ctx.nonces);
    if (check.verdict == DigestVerdict::kAccepted) {
        return true;
    }
    if (bAnswered && !ctx.Options().bQuiet) {
        std::fprintf(stderr, "oxr-demo-camera: Digest answer refused: %s\n", check.reason.c_str());
    }
    HeaderList headers;
    for (const std::string& c : DigestChallenges(offer, ctx.nonces.Issue(), ctx.nonces.Opaque(),
                                                 check.verdict == DigestVerdict::kStale)) {
        headers.emplace_back("WWW-Authenticate", c);
    }
    const std::string body = bAnswered ? "authorization required (" + check.reason + ")\n"
                                       : std::string("authorization required\n");
    SendResponse(conn, request, 401, "text/plain", body, headers);
    return false;
}

} // namespace

AuthScheme RequiredScheme(const Request& request, const CameraOptions& options) {
    const std::string& path = request.path;
    const bool bAdmin = path.compare(0, 15, "/cgi-bin/admin/") == 0;
    if (!bAdmin && path != "/snapshot.jpg" && path != "/video.mjpg") {
        return AuthScheme::kNone;
    }
    const std::string wanted = request.Query("auth");
    if (wanted == "digest") {
        return AuthScheme::kDigest;
    }
    if (wanted == "basic") {
        return AuthScheme::kBasic;
    }
    if (wanted == "1" || bAdmin) {
        return CameraScheme(options);
    }
    return path == "/snapshot.jpg" && options.auth == CameraAuth::kDigest ? AuthScheme::kDigest
                                                                          : AuthScheme::kNone;
}

bool Admit(Connection& conn, const Request& request, CameraContext& ctx) {
    switch (RequiredScheme(request, ctx.Options())) {
    case AuthScheme::kNone:
        return true;
    case AuthScheme::kBasic:
        return AdmitBasic(conn, request, ctx);
    case AuthScheme::kDigest:
        return AdmitDigest(conn, request, ctx);
    }
    return false;
}
