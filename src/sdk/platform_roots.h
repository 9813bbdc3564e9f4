// The root certificates that the operating system keeps in a store of its
// own rather than in a bundle file: the Windows certificate store. POSIX
// systems keep theirs in bundle files, which the anchor loader reads itself.
#pragma once

#include <cstddef>
#include <cstdio>

// Receives one DER certificate; the bytes are valid only during the call.
using tq_root_sink = void (*)(void *ctx, const unsigned char *der, size_t len);

// Hands every certificate of the system's root store to sink. Windows: the
// ROOT stores of the current user and of the local machine, in that order
// (a company's own root installed the Windows way is among them). POSIX:
// nothing. A store that cannot be opened is passed over.
void tq_platform_store_roots(tq_root_sink sink, void *ctx);

// Opens for binary reading the file that environment variable name names.
// NULL with *named false when the variable is unset or empty; NULL with
// *named true when the file cannot be opened. Windows reads both the value
// and the path through the wide-character calls, so a bundle in a folder
// whose name lies outside the ANSI code page opens too.
FILE *tq_platform_open_named_file(const char *name, bool *named);
