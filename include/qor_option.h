// The option text of qor_init and update_option: items "-key value".
#pragma once

#include <map>
#include <string>

// A map holding every option key of the library with its default, then the
// items of `text` applied.  Malformed text and unknown keys end the process.
std::map<std::string, std::string> parse_option(const std::string& text);

// Applies the items of `text` to `options`; only keys already in `options`
// are valid.  Malformed text and unknown keys end the process.
void parse_option(const std::string& text, std::map<std::string, std::string>& options);
