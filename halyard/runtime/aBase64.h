#pragma once
#include <cstddef>

// Standard alphabet, "=" padding, no line breaks. Results are malloc'ed, followed by one zero
// byte, and freed by the caller. Decoding refuses a length that is not a multiple of 4 and any
// character outside the alphabet (null result).
unsigned char* base64_decode(const unsigned char* text, size_t length, size_t* outLength);
// Decodes text into its own first bytes (what base64_decode refuses is refused here too, the text
// then partly overwritten); *outLength receives the decoded length. No copy of the text is made.
bool base64_decode_in_place(unsigned char* text, size_t length, size_t* outLength);
unsigned char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);
