// Internal routine of the configuration file writer.
#ifndef AGENTCLIENT_WRITECONFIG_H
#define AGENTCLIENT_WRITECONFIG_H

// Returns a new copy of text with a backslash before every apostrophe, scanning characters of
// the current multibyte character set, or bytes when the text does not convert in it;
// backslashes already there are not doubled. NULL for NULL or when memory runs out. The caller
// releases the copy with PaFree.
extern "C" char *PaEscapeQuotes(const char *text);

#endif
