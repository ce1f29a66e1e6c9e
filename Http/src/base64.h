// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
#ifndef BASE64_H
#define BASE64_H

// Encodes len bytes into a new malloc'd text stored in *out (caller frees);
// returns its length, or -1 when no memory could be had (*out untouched).
int Base64Encode(const unsigned char* data, int len, char** out);
// Decodes a zero-terminated text into outBuf (3 bytes per 4 characters);
// returns the bytes written, or -1 for malformed input.
int Base64Decode(const char* in, unsigned char* outBuf);
// Position of c in the alphabet, or -1 (the zero character is never found).
int Base64Index(char c);

#endif // BASE64_H
