// Throughput of OXR_TlsRecv against a plain blocking SSL_read loop, both
// receiving the same stream over loopback from an in-process OpenSSL server
// (AES-128-GCM, TLS 1.3 and TLS 1.2). Prints MB/s and the receiving
// thread's CPU time; fails only when bytes go missing.
//   tls_throughput [MiB per run, 1024] [runs, 3]
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "oxr.h"
#include "oxr_tls.h"
#include "test_net.h"

namespace {

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A server context with a fresh P-256 key and a self-signed certificate.
SSL_CTX* ServerContext(bool bTls13) {
    EVP_PKEY* pKey = EVP_EC_gen("P-256");
    X509* pCert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), 1);
    X509_gmtime_adj(X509_getm_notBefore(pCert), 0);
    X509_gmtime_adj(X509_getm_notAfter(pCert), 3600);
    X509_set_pubkey(pCert, pKey);
    X509_NAME* pName = X509_get_subject_name(pCert);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(pCert, pName);
    X509_sign(pCert, pKey, EVP_sha256());
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(pCtx, pCert);
    SSL_CTX_use_PrivateKey(pCtx, pKey);
    if (bTls13) {
        SSL_CTX_set_min_proto_version(pCtx, TLS1_3_VERSION);
        SSL_CTX_set_ciphersuites(pCtx, "TLS_AES_128_GCM_SHA256");
    } else {
        SSL_CTX_set_max_proto_version(pCtx, TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(pCtx, "ECDHE-ECDSA-AES128-GCM-SHA256");
    }
    X509_free(pCert);
    EVP_PKEY_free(pKey);
    return pCtx;
}

// Accepts one connection and sends nBytes in 64 KiB writes, then close_notify.
void Serve(SSL_CTX* pCtx, int nListen, long long nBytes) {
    int s = TestAccept(nListen, 10000);
    if (s < 0) {
        return;
    }
    SSL* pSsl = SSL_new(pCtx);
    SSL_set_fd(pSsl, s);
    if (SSL_accept(pSsl) == 1) {
        std::vector<char> buf(65536);
        for (size_t i = 0; i < buf.size(); ++i) {
            buf[i] = static_cast<char>(i * 7);
        }
        long long nLeft = nBytes;
        while (nLeft > 0) {
            int n =
                static_cast<int>(std::min<long long>(nLeft, static_cast<long long>(buf.size())));
            int r = SSL_write(pSsl, buf.data(), n);
            if (r <= 0) {
                break;
            }
            nLeft -= r;
        }
        SSL_shutdown(pSsl);
    }
    SSL_free(pSsl);
    OXR_CloseSocket(s, 0);
}

int ConnectTo(uint16_t wPort) {
    return TestConnect("127.0.0.1", wPort, 3000);
}

struct Run {
    long long nBytes = 0;
    int nEnd = -1; // 0: the stream ended with the server's close_notify
    double wallMs = 0;
    double cpuMs = 0;
};

Run ReceiveWithRuntime(int s) {
    Run run;
    OXR_TLS* pTls = nullptr;
    if (OXR_TlsConnect(s, "localhost", 0, nullptr, 5000, nullptr, &pTls) != OXR_TLS_OK) {
        return run;
    }
    std::vector<char> buf(65536);
    int64_t t0 = OXR_TickMs();
    double c0 = ThreadCpuMs();
    for (;;) {
        int r = OXR_TlsRecv(pTls, buf.data(), static_cast<int>(buf.size()));
        if (r > 0) {
            run.nBytes += r;
        } else if (r == OXR_TLS_WOULD_BLOCK) {
            if (OXR_WaitReadable(s, 1000) <= 0) {
                break;
            }
        } else {
            run.nEnd = r;
            break;
        }
    }
    run.cpuMs = ThreadCpuMs() - c0;
    run.wallMs = static_cast<double>(OXR_TickMs() - t0);
    OXR_TlsFree(pTls);
    return run;
}

Run ReceiveWithSslRead(int s) {
    Run run;
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    SSL* pSsl = SSL_new(pCtx);
    SSL_set_fd(pSsl, s);
    if (SSL_connect(pSsl) == 1) {
        std::vector<char> buf(65536);
        int64_t t0 = OXR_TickMs();
        double c0 = ThreadCpuMs();
        for (;;) {
            int r = SSL_read(pSsl, buf.data(), static_cast<int>(buf.size()));
            if (r <= 0) {
                run.nEnd = SSL_get_error(pSsl, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
                break;
            }
            run.nBytes += r;
        }
        run.cpuMs = ThreadCpuMs() - c0;
        run.wallMs = static_cast<double>(OXR_TickMs() - t0);
    }
    SSL_free(pSsl);
    SSL_CTX_free(pCtx);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    long long nMiB = argc > 1 ? std::atoll(argv[1]) : 1024;
    int nRuns = argc > 2 ? std::atoi(argv[2]) : 3;
    long long nBytes = nMiB * 1024 * 1024;
    OXR_Init();
    int nBad = 0;
    for (bool bTls13 : {true, false}) {
        SSL_CTX* pServer = ServerContext(bTls13);
        for (int i = 0; i < nRuns; ++i) {
            for (bool bRuntime : {true, false}) {
                uint16_t wPort = 0;
                int nListen = TestListen("127.0.0.1", 0, &wPort);
                std::thread server(Serve, pServer, nListen, nBytes);
                int s = ConnectTo(wPort);
                Run run = bRuntime ? ReceiveWithRuntime(s) : ReceiveWithSslRead(s);
                server.join();
                OXR_CloseSocket(s, 0);
                OXR_CloseSocket(nListen, 0);
                bool bOk = run.nBytes == nBytes && run.nEnd == 0;
                nBad += bOk ? 0 : 1;
                std::printf("%s AES-128-GCM  %-12s %6lld MiB  %7.0f MB/s  cpu %5.0f ms  %s\n",
                            bTls13 ? "TLS 1.3" : "TLS 1.2", bRuntime ? "OXR_TlsRecv" : "SSL_read",
                            run.nBytes >> 20, run.wallMs > 0 ? run.nBytes / 1e3 / run.wallMs : 0.0,
                            run.cpuMs, bOk ? "ok" : "INCOMPLETE");
            }
        }
        SSL_CTX_free(pServer);
    }
    OXR_Fini();
    return nBad == 0 ? 0 : 1;
}
