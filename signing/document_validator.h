#pragma once
// Telling a signed container from any other file, for signing: a file that passes
// gets the new signature added in place, any other file is packed into a new
// container.
//
// Two checks, both of which must pass:
//  - the classic walk: a small tokenizer and a fixed graph of the container's
//    elements. It reads the head and the elements before File, jumps to just
//    before the last "</File>" and reads only the Signer elements, so a text
//    between tags is ignored and the Base64 payload is never looked at;
//  - the strict reader (signing/container.h), which every other road that reads a
//    container goes through. A file the strict reader refuses is never taken for a
//    container, so signing can never write into a file that verification,
//    extraction or revocation would call malformed.
// Nothing is reported; every failure gives false.
#include <QFile>
#include <cstdint>
#include <string>

#include "signing/container.h"

// True when the file is a signed container. The file's position is not restored.
bool ValidateSignedDocument(QFile& stream);
// The same over any source.
bool ValidateSignedDocument(SgnSource& source);

namespace sgnvalidator {

inline constexpr int kTokenLimit = 65536;
// The text that stands for every text token.
inline constexpr const char* kNonTag = "NON TAG";

// The tag grammar over a tag token (from "<" through ">", quoted parts left out).
bool IsKnownTag(const char* token, int length);
inline bool IsKnownTag(const std::string& token) { return IsKnownTag(token.data(), int(token.size())); }

// The classic walk alone, without the strict reader.
bool WalkSignedDocument(SgnSource& source);

}  // namespace sgnvalidator
