// Root certificates embedded at build time from the system's bundle.
#pragma once

extern const char TQ_CA_BUNDLE_PEM[];
extern const unsigned long TQ_CA_BUNDLE_PEM_LEN;
