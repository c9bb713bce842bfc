#include "errors.h"

#include <agentclient/agentclient.hpp>

#include <algorithm>

namespace patools {

std::string OneLine(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

Explanation Explain(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Failure &failure) {
        return {failure.Status(), OneLine(failure.what())};
    } catch (const agentclient::Error &refused) {
        if (refused.Code() == PaNOT_SUPPORTED) {
            return {Exit::kFailed, OneLine(std::string(refused.what()) + " (the agent is older than this request)")};
        }
        return {refused.Unreachable() ? Exit::kUnreachable : Exit::kFailed, OneLine(refused.what())};
    } catch (const std::exception &other) {
        return {Exit::kFailed, OneLine(other.what())};
    }
}

}  // namespace patools
