// Reading signed toast templates from disk.
#pragma once

#include <cstdint>
#include <string>

// Reads a template file, verifies its signature with TemplateSigningKey and
// returns the XML as UTF-16. Any failure is logged and gives an empty string.
std::wstring ReadTemplateFile(const std::wstring& path);

// The same with another public key (64 bytes, X then Y).
std::wstring ReadTemplateFileWithKey(const std::wstring& path, const uint8_t* publicKey);
