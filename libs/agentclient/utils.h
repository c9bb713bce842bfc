// Internal environment helpers shared with the client context.
#ifndef AGENTCLIENT_UTILS_H
#define AGENTCLIENT_UTILS_H

// Returns the product-family home directory: VTHOME, or the installation default when unset
// (shared text, not to be released); none when VTHOME is not an absolute path, which would be
// read from whatever directory the program runs in.
const char *PaGetVthome(void);

#endif
