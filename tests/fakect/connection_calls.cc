// Connections: allocation, login properties, connect (with the secure-login challenge) and close.
#include "names.h"
#include "state.h"

#include <algorithm>
#include <cstring>

using namespace fakect;

CS_RETCODE ct_con_alloc(CS_CONTEXT *context, CS_CONNECTION **connection)
{
    Logged call("ct_con_alloc", "ct_con_alloc()");
    Use(context, "ct_con_alloc");
    if (auto injected = Intercept("ct_con_alloc", CS_UNUSED, CS_UNUSED, nullptr, context))
        return call(*injected);
    auto made     = std::make_unique<_cs_connection>();
    made->context = context;
    *connection   = state().connections.emplace_back(std::move(made)).get();
    return call(CS_SUCCEED);
}

// Like FreeTDS: the connection's commands stay allocated, detached from it.
CS_RETCODE ct_con_drop(CS_CONNECTION *connection)
{
    Logged call("ct_con_drop", "ct_con_drop()");
    if (!connection)
        return call(CS_SUCCEED);
    _cs_connection &dropping = Use(connection, "ct_con_drop");
    if (auto injected = Intercept("ct_con_drop", CS_UNUSED, CS_UNUSED, connection))
        return call(*injected);
    for (CS_COMMAND *command : dropping.commands)
        command->connection = nullptr;
    dropping.commands.clear();
    dropping.dropped = true;
    return call(CS_SUCCEED);
}

namespace {

CS_RETCODE SetProperty(_cs_connection &connection, CS_INT property, const CS_VOID *buffer, CS_INT buflen)
{
    if (!buffer)
        return CS_FAIL;
    if (property == CS_USERDATA) {
        connection.texts[property] = TextOf(buffer, std::max(buflen, 0));
    } else if (IsTextProperty(property)) {
        if (buflen != CS_UNUSED)
            connection.texts[property] = TextOf(buffer, buflen);
    } else {
        std::memcpy(&connection.ints[property], buffer, sizeof(CS_INT));
    }
    return CS_SUCCEED;
}

// Copies what was set, up to buflen bytes; nothing at all (length 0) before any set.
CS_RETCODE GetProperty(_cs_connection &connection, CS_INT property, CS_VOID *buffer, CS_INT buflen, CS_INT *outlen)
{
    if (property == CS_CON_STATUS) {
        std::memcpy(buffer, &connection.status, sizeof(CS_INT));
        return CS_SUCCEED;
    }
    if (IsTextProperty(property)) {
        auto found             = connection.texts.find(property);
        std::string_view value = found == connection.texts.end() ? std::string_view() : found->second;
        if (outlen)
            *outlen = static_cast<CS_INT>(value.size());
        value.copy(static_cast<char *>(buffer), static_cast<std::size_t>(std::max(buflen, 0)));
    } else if (auto found = connection.ints.find(property); found != connection.ints.end()) {
        std::memcpy(buffer, &found->second, sizeof(CS_INT));
    }
    return CS_SUCCEED;
}

}  // namespace

CS_RETCODE ct_con_props(CS_CONNECTION *connection, CS_INT action, CS_INT property, CS_VOID *buffer, CS_INT buflen,
                        CS_INT *outlen)
{
    std::string value = action == CS_SET ? PropertyValue(property, buffer, buflen) + ", " : "";
    Logged call("ct_con_props", "ct_con_props(" + ActionName(action) + ", " + PropertyName(property) + ", " + value +
                                    LengthName(buflen) + ")");
    _cs_connection &target = Use(connection, "ct_con_props");
    if (auto injected = Intercept("ct_con_props", property, action, connection))
        return call(*injected);
    if (action == CS_SET)
        return call(SetProperty(target, property, buffer, buflen));
    if (action == CS_GET)
        return call(GetProperty(target, property, buffer, buflen, outlen));
    return call(CS_FAIL);
}

namespace {

CS_RETCODE RunChallenge(CS_CONNECTION *connection, ChallengeFunc callback)
{
    const Challenge &challenge = agent().challenge;
    std::string input          = challenge.input;
    std::vector<CS_BYTE> output(static_cast<std::size_t>(challenge.outputSize));
    CS_DATAFMT inputFormat{};
    inputFormat.datatype    = CS_BINARY_TYPE;
    inputFormat.maxlength   = static_cast<CS_INT>(input.size());
    inputFormat.count       = 1;
    CS_DATAFMT outputFormat = inputFormat;
    outputFormat.maxlength  = challenge.outputSize;
    CS_INT sendId           = 0;
    CS_INT outputLength     = 0;
    CS_RETCODE result =
        callback(connection, challenge.messageId, &sendId, &inputFormat, reinterpret_cast<CS_BYTE *>(input.data()),
                 &outputFormat, output.data(), &outputLength);
    outputLength = std::clamp(outputLength, 0, challenge.outputSize);
    state().challenges.push_back(
        ChallengeCall{result, sendId, std::string(output.begin(), output.begin() + outputLength)});
    return result;
}

}  // namespace

// Asks the challenge callback first when the connection wants a secure login and has one.
CS_RETCODE ct_connect(CS_CONNECTION *connection, CS_CHAR *servername, CS_INT snamelen)
{
    Logged call("ct_connect", "ct_connect(" + Quote(TextOf(servername, snamelen)) + ", " + LengthName(snamelen) + ")");
    _cs_connection &target = Use(connection, "ct_connect");
    if (auto injected = Intercept("ct_connect", CS_UNUSED, CS_UNUSED, connection))
        return call(*injected);
    auto secure   = target.ints.find(CS_SEC_CHALLENGE);
    auto callback = target.callbacks.find(CS_CHALLENGE_CB);
    if (secure != target.ints.end() && secure->second == CS_TRUE && callback != target.callbacks.end() &&
        RunChallenge(connection, reinterpret_cast<ChallengeFunc>(callback->second)) != CS_SUCCEED) {
        return call(CS_FAIL);
    }
    target.status = CS_CONSTAT_CONNECTED;
    return call(CS_SUCCEED);
}

// Like FreeTDS: the option is ignored and the connection goes at once.
CS_RETCODE ct_close(CS_CONNECTION *connection, CS_INT option)
{
    Logged call("ct_close", "ct_close(" + OptionName(option) + ")");
    _cs_connection &target = Use(connection, "ct_close");
    if (auto injected = Intercept("ct_close", option, CS_UNUSED, connection))
        return call(*injected);
    target.status = 0;
    target.EndReply();
    for (CS_COMMAND *command : target.commands) {
        command->steps.clear();
        command->current.reset();
    }
    return call(CS_SUCCEED);
}
