// File names for saved parts: numbered, with an extension from the type.
#ifndef OXR_CLI_PART_NAMING_H
#define OXR_CLI_PART_NAMING_H

#include <string>

// "jpg" for "image/jpeg", "json" for "application/json; charset=utf-8", ...;
// "bin" when the type says nothing useful.
std::string ExtensionFor(const std::string& contentType);

// "000042.jpg" for part 42 of type image/jpeg.
std::string PartFileName(long nIndex, const std::string& contentType);

// True for types that read as text on a terminal (text/*, JSON, XML, ...).
bool IsTextual(const std::string& contentType);

#endif
