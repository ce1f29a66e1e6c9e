// The process-wide objects behind the exports (http_client.cpp): the log
// sink is http_log.h's g_cHttpLog, built first; the registry after it.
#ifndef HTTP_CLIENT_H
#define HTTP_CLIENT_H

#include "http_session.h"

extern CHttpSessionMgr g_cSessionMgr;

#endif // HTTP_CLIENT_H
