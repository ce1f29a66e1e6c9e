// Lines of a response head and of a part head end in CR LF or in LF alone;
// this is the one place that says so.
#ifndef HTTP_LINE_H
#define HTTP_LINE_H

// The end of the line that begins at pLine and whose LF is at pNl, a CR
// before the LF left out.
inline const char* HttpLineEnd(const char* pLine, const char* pNl) {
    return (pNl > pLine && pNl[-1] == '\r') ? pNl - 1 : pNl;
}
inline char* HttpLineEnd(char* pLine, char* pNl) {
    return (pNl > pLine && pNl[-1] == '\r') ? pNl - 1 : pNl;
}

#endif // HTTP_LINE_H
