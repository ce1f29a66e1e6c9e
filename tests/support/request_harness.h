// Drives a transport through the steps a session takes, against a test
// server. Header only: it needs the library's internal transport header,
// which only the test programs see.
#ifndef REQUEST_HARNESS_H
#define REQUEST_HARNESS_H

#include <cstring>

#include "delivery_log.h"
#include "http_request.h"
#include "oxr.h"
#include "test_server.h"

const char kTestRequest[] = "GET /video HTTP/1.1\r\nHost: camera\r\n\r\n";

// Connects, sends kTestRequest and receives the head: 0, or the first
// non-zero result.
inline int Exchange(CHttpRequest& req, const CTestServer& server, int nTimeOutMs = 3000) {
    if (!req.IsConnected()) {
        int r = req.ConnectToServer(server.Address().c_str(), server.Port(), 3000);
        if (r != 0) {
            return r;
        }
    }
    int r = req.SendMsg(kTestRequest, static_cast<int>(std::strlen(kTestRequest)));
    return r != 0 ? r : req.RecvHead(nTimeOutMs);
}

// As Exchange, then starts the receiver.
inline int ExchangeAndReceive(CHttpRequest& req, const CTestServer& server) {
    int r = Exchange(req, server);
    return r != 0 ? r : req.StartRecvThread();
}

// Waits until the receiver returned on its own; false after nTimeOutMs.
inline bool WaitReceiverEnd(const CHttpRequest& req, int nTimeOutMs) {
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    while (!req.GetReceiver().Ended()) {
        if (OXR_TickMs() >= tEnd) {
            return false;
        }
        OXR_Sleep(1);
    }
    return true;
}

// A transport, its delivery log and the server it talks to. The transport
// goes first on destruction, so no callback outlives the log.
struct ReceiverRig {
    CTestServer server;
    CDeliveryLog log;
    CHttpRequest req;

    // Plays the script and starts the receiver with handle nIndex.
    int Go(const CTestScript& script, int nIndex = 37) {
        server.Add(script);
        if (!server.Start()) {
            return -100;
        }
        req.SetDataCallback(nIndex, CDeliveryLog::Callback, &log);
        return ExchangeAndReceive(req, server);
    }
};

#endif // REQUEST_HARNESS_H
