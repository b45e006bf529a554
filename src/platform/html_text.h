#pragma once
// HTML character references and the visible text of a page, for every part of the program
// that writes or reads HTML: the outcome lines, the link panel, its Qt view and the portal
// simulator. Texts are UTF-8 in and out.

#include <string>
#include <string_view>

namespace vellicor {

// `text` with & < > " ' written as references, so that it stands for itself in element text
// and in an attribute value under either quote. Every other byte is kept.
std::string escapeHtml(std::string_view text);

// Replaces the character references in `html`: the named ones pages use (amp, lt, gt, quot,
// apos, nbsp and a few typographic ones) and decimal or hexadecimal ones (&#N; &#xH;). A
// numeric reference to NUL, a surrogate or past U+10FFFF gives U+FFFD. An unknown name or a
// reference without its ';' is left as written. unescapeHtml(escapeHtml(s)) == s for any s.
std::string unescapeHtml(std::string_view html);

// `html` with its comments, scripts and styles cut out, everything else as written: where a
// sentence is looked for in a page, a script's string must not be taken for it.
std::string withoutScripts(std::string_view html);

// The visible text of an HTML document or fragment: comments, scripts and styles dropped,
// tags removed, references decoded, runs of whitespace (no-break spaces and control
// characters among them) folded to one blank, trimmed. Inline tags (a, b, span, ...) join
// the words around them; any other tag separates them. Time is linear in the input's size.
std::string visibleText(std::string_view html);

}  // namespace vellicor
