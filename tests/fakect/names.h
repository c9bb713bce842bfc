// How the call log spells Client-Library constants and argument values.
#ifndef AGENTCLIENT_TESTS_FAKECT_NAMES_H
#define AGENTCLIENT_TESTS_FAKECT_NAMES_H

#include <ctpublic.h>

#include <string>
#include <string_view>

namespace fakect {

// Each gives the constant's name, or the number when the value has none in that role.
std::string ActionName(CS_INT action);
std::string PropertyName(CS_INT property);
std::string CallbackName(CS_INT type);
std::string VersionName(CS_INT version);
std::string OptionName(CS_INT option);  // close and exit options, cancel types, ct_debug operations
std::string DebugFlagName(CS_INT flag);
std::string LengthName(CS_INT length);  // CS_NULLTERM, CS_UNUSED or the number
std::string ReturnName(CS_RETCODE code);
std::string ResultTypeName(CS_INT type);
std::string CommandTypeName(CS_INT type);

// The bytes of a text argument: length CS_NULLTERM means up to the terminator.
std::string TextOf(const CS_VOID *buffer, CS_INT length);
// A quoted, escaped text: "abc\0".
std::string Quote(std::string_view bytes);
std::string HandleName(const void *handle, std::string_view name);  // name, or NULL

// Whether a property's value is text (or bytes, for CS_USERDATA) rather than a CS_INT.
bool IsTextProperty(CS_INT property);
// A property value as given to ct_con_props or ct_config with CS_SET.
std::string PropertyValue(CS_INT property, const CS_VOID *buffer, CS_INT length);

}  // namespace fakect

#endif
