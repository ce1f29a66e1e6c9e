// File names for saved parts (numbered, with an extension from the type)
// and for the outputs of repeated requests.
#ifndef OXR_CLI_PART_NAMING_H
#define OXR_CLI_PART_NAMING_H

#include <string>

// "jpg" for "image/jpeg", "json" for "application/json; charset=utf-8", ...;
// "bin" when the type says nothing useful.
std::string ExtensionFor(const std::string& contentType);

// "000042.jpg" for part 42 of type image/jpeg.
std::string PartFileName(long nIndex, const std::string& contentType);

// The -o file of round nRound of nRounds (--repeat): the number goes before
// the extension, at least four digits, as many as nRounds needs so the names
// sort in order ("snap.jpg" -> "snap-0003.jpg", "dir/out" -> "dir/out-0003").
// One round keeps the name as given, and "" (standard output) stays "".
std::string NumberedOutputName(const std::string& file, long nRound, long nRounds);

// True for types that read as text on a terminal (text/*, JSON, XML, ...).
bool IsTextual(const std::string& contentType);

#endif
