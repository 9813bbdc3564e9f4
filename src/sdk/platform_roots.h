// The root certificates that the operating system keeps in a store of its
// own rather than in a bundle file: the Windows certificate store. POSIX
// systems keep theirs in bundle files, which the anchor loader reads itself.
#pragma once

#include <cstddef>

// Receives one DER certificate; the bytes are valid only during the call.
using tq_root_sink = void (*)(void *ctx, const unsigned char *der, size_t len);

// Hands every certificate of the system's root store to sink. Windows: the
// ROOT stores of the current user and of the local machine, in that order
// (a company's own root installed the Windows way is among them). POSIX:
// nothing. A store that cannot be opened is passed over.
void tq_platform_store_roots(tq_root_sink sink, void *ctx);
