// Contexts, callbacks and context configuration.
#include "names.h"
#include "state.h"

using namespace fakect;

CS_RETCODE cs_ctx_alloc(CS_INT version, CS_CONTEXT **context)
{
    Logged call("cs_ctx_alloc", "cs_ctx_alloc(" + VersionName(version) + ")");
    if (auto injected = Intercept("cs_ctx_alloc", CS_UNUSED, CS_UNUSED, nullptr, nullptr))
        return call(*injected);
    *context = state().contexts.emplace_back(std::make_unique<_cs_context>()).get();
    return call(CS_SUCCEED);
}

CS_RETCODE cs_ctx_drop(CS_CONTEXT *context)
{
    Logged call("cs_ctx_drop", "cs_ctx_drop()");
    if (!context)
        return call(CS_SUCCEED);
    _cs_context &dropping = Use(context, "cs_ctx_drop");
    if (auto injected = Intercept("cs_ctx_drop", CS_UNUSED, CS_UNUSED, nullptr, context))
        return call(*injected);
    dropping.dropped = true;
    return call(CS_SUCCEED);
}

CS_RETCODE ct_init(CS_CONTEXT *context, CS_INT version)
{
    Logged call("ct_init", "ct_init(" + VersionName(version) + ")");
    Use(context, "ct_init");
    if (auto injected = Intercept("ct_init", CS_UNUSED, CS_UNUSED, nullptr, context))
        return call(*injected);
    return call(CS_SUCCEED);
}

// Like FreeTDS: connections stay open.
CS_RETCODE ct_exit(CS_CONTEXT *context, CS_INT option)
{
    Logged call("ct_exit", "ct_exit(" + OptionName(option) + ")");
    if (!context)
        return call(CS_SUCCEED);
    Use(context, "ct_exit");
    if (auto injected = Intercept("ct_exit", option, CS_UNUSED, nullptr, context))
        return call(*injected);
    return call(CS_SUCCEED);
}

CS_RETCODE ct_callback(CS_CONTEXT *context, CS_CONNECTION *connection, CS_INT action, CS_INT type, CS_VOID *func)
{
    Logged call("ct_callback", "ct_callback(" + HandleName(context, "ctx") + ", " + HandleName(connection, "conn") +
                                   ", " + ActionName(action) + ", " + CallbackName(type) + ")");
    if (!context && !connection)
        return call(CS_FAIL);
    std::map<CS_INT, CS_VOID *> &callbacks =
        connection ? Use(connection, "ct_callback").callbacks : Use(context, "ct_callback").callbacks;
    if (auto injected = Intercept("ct_callback", type, action, connection, context))
        return call(*injected);
    if (action == CS_GET) {
        auto found                     = callbacks.find(type);
        *static_cast<CS_VOID **>(func) = found == callbacks.end() ? nullptr : found->second;
        return call(CS_SUCCEED);
    }
    bool known = type == CS_CLIENTMSG_CB || type == CS_SERVERMSG_CB ||
                 (type == CS_CHALLENGE_CB && agent().behaviour.challengeCallbackStored);
    if (known)
        callbacks[type] = func;
    return call(CS_SUCCEED);
}

// Like FreeTDS: the settings are accepted and have no effect.
CS_RETCODE ct_config(CS_CONTEXT *context, CS_INT action, CS_INT property, CS_VOID *buffer, CS_INT buflen, CS_INT *)
{
    std::string value = action == CS_SET ? PropertyValue(property, buffer, buflen) + ", " : "";
    Logged call("ct_config", "ct_config(" + ActionName(action) + ", " + PropertyName(property) + ", " + value +
                                 LengthName(buflen) + ")");
    Use(context, "ct_config");
    if (auto injected = Intercept("ct_config", property, action, nullptr, context))
        return call(*injected);
    return call(CS_SUCCEED);
}

// Absent from FreeTDS; the library finds it with dlsym, so tests can make it succeed or fail.
CS_RETCODE ct_debug(CS_CONTEXT *context, CS_CONNECTION *connection, CS_INT operation, CS_INT flag, CS_CHAR *filename,
                    CS_INT filenamelen)
{
    std::string file = filename ? Quote(TextOf(filename, filenamelen)) : "NULL";
    Logged call("ct_debug", "ct_debug(" + HandleName(context, "ctx") + ", " + HandleName(connection, "conn") + ", " +
                                OptionName(operation) + ", " + DebugFlagName(flag) + ", " + file + ", " +
                                LengthName(filenamelen) + ")");
    if (context)
        Use(context, "ct_debug");
    if (connection)
        Use(connection, "ct_debug");
    if (auto injected = Intercept("ct_debug", CS_UNUSED, CS_UNUSED, connection, context))
        return call(*injected);
    return call(CS_SUCCEED);
}
