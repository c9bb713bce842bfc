// Helpers shared by the record modules: text ownership, attribute lists, list walks.
#ifndef AGENTCLIENT_RECORDS_H
#define AGENTCLIENT_RECORDS_H

#include "memory.h"

#include <cstdarg>
#include <cstring>

namespace pa {

// Releases a block that may be absent (PaFree refuses NULL with an Error line).
inline void Release(void *block) { BlockDeleter{}(block); }

// Stores in *target a new copy of source, none for none. False only when memory ran out.
inline bool CopyText(const char *source, char **target)
{
    *target = PaStrDup(source);
    return source == nullptr || *target != nullptr;
}

// Replaces the text of *field by a copy of text (none for NULL). The copy is made first, so the
// field is unchanged when memory runs out, and text may be the field's own.
inline bool ReplaceText(char **field, const char *text)
{
    char *copy = nullptr;
    if (!CopyText(text, &copy)) {
        return false;
    }
    Release(*field);
    *field = copy;
    return true;
}

// A record's name is never set to none.
inline int32_t SetName(char **field, const char *name)
{
    return name != nullptr && ReplaceText(field, name) ? PaSUCCESS : PaFAILURE;
}

// Two texts are the same when both are absent or both hold the same bytes.
inline bool SameText(const char *a, const char *b)
{
    return a == nullptr || b == nullptr ? a == b : std::strcmp(a, b) == 0;
}

// Stores value in the caller's variable of an attribute getter.
template <class T>
int32_t Store(T *target, T value)
{
    if (target == nullptr) {
        return PaFAILURE;
    }
    *target = value;
    return PaSUCCESS;
}

// Stores a new copy of text (NULL for none) in the caller's variable; untouched on failure.
inline int32_t StoreCopy(char **target, const char *text)
{
    char *copy = nullptr;
    if (target == nullptr || !CopyText(text, &copy)) {
        return PaFAILURE;
    }
    *target = copy;
    return PaSUCCESS;
}

// Applies the identifier/value pairs of an attribute list, ended by identifier 0, stopping at
// the first result other than PaSUCCESS, which it returns.
template <class Record>
int32_t ApplyPairs(Record *record, va_list *args, int32_t (*apply)(Record *, int32_t, va_list *))
{
    for (int32_t id = va_arg(*args, int32_t); id != 0; id = va_arg(*args, int32_t)) {
        int32_t result = apply(record, id, args);
        if (result != PaSUCCESS) {
            return result;
        }
    }
    return PaSUCCESS;
}

// Completes a new record from an attribute list. An unknown identifier ends the list, since
// the width of its value is unknown, and keeps what came before; any other failure (a refused
// value, memory exhausted) releases the record: a constructor gives all it was asked or none.
template <class Record, class Deleter>
Record *FillFromPairs(std::unique_ptr<Record, Deleter> record, va_list *args,
                      int32_t (*set)(Record *, int32_t, va_list *))
{
    if (record == nullptr) {
        return nullptr;
    }
    int32_t result = ApplyPairs(record.get(), args, set);
    return result == PaSUCCESS || result == PaUNKNOWN_ATTRIBUTE ? record.release() : nullptr;
}

// Storage for a record in list-element form: an unlinked element without initialiser.
inline void *AllocUnlinkedElement(size_t size) { return PaListAllocElement(size, nullptr); }

// Typed walk over the payloads of a list.
template <class Payload>
Payload *First(const PaList *list)
{
    return static_cast<Payload *>(PaListGetHead(list));
}
template <class Payload>
Payload *Next(const Payload *payload)
{
    return static_cast<Payload *>(PaListGetNext(payload));
}

}  // namespace pa

#endif
