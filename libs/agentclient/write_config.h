// Internal routine of the configuration file writer.
#ifndef AGENTCLIENT_WRITECONFIG_H
#define AGENTCLIENT_WRITECONFIG_H

// Returns a new copy of text as written between apostrophes in the configuration file: a
// backslash before every apostrophe and every backslash, byte by byte whatever the locale.
// NULL for NULL or when memory runs out. The caller releases the copy with PaFree.
char *PaEscapeQuotes(const char *text);

#endif
