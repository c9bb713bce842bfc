// The test's secure-login function: writes "user:password:flag" as the challenge answer.
#include <ctpublic.h>

#include <cstdio>

extern "C" CS_RETCODE KovaSecureLoginSendLogin(CS_CONNECTION *, CS_INT receivedId, CS_INT *sendId, CS_DATAFMT *,
                                               CS_VOID *, CS_DATAFMT *outputFormat, CS_VOID *output,
                                               CS_INT *outputLength, CS_CHAR *user, CS_CHAR *password, CS_INT flag)
{
    int length = std::snprintf(static_cast<char *>(output), static_cast<size_t>(outputFormat->maxlength), "%s:%s:%d",
                               user, password, static_cast<int>(flag));
    if (length < 0 || length >= outputFormat->maxlength) {
        return CS_FAIL;
    }
    *sendId       = receivedId + 1;
    *outputLength = length;
    return CS_SUCCEED;
}
