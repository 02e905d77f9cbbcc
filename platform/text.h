// Texts from outside (options, scenario files) quoted in a message: at
// most a short prefix, with every character that is not printable ASCII
// escaped, so that a huge or binary text cannot flood or cut the message.
#pragma once

#include <string>
#include <string_view>

// 'text' in single quotes: quotes and backslashes escaped, other
// characters outside printable ASCII as \xHH, cut after `limit` characters
// of the text with "..." after the closing quote.
std::string QuoteForMessage(std::string_view text, std::size_t limit = 40);

// The whole text between two `quote` characters, escaped as QuoteForMessage
// escapes it: what a scenario file reads back as the same text.
std::string InQuotes(std::string_view text, char quote);
