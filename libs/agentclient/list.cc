// The generic doubly linked list. An element is one block: the two links, padded to the
// strictest alignment, followed by the caller's payload. Operations speak in payloads.
#include "memory.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

struct alignas(std::max_align_t) PaListLinks {
    PaListLinks *next;
    PaListLinks *prev;
};

struct PaList {
    int32_t count;
    PaListLinks *head;
    PaListLinks *tail;
};

namespace {

PaListLinks *LinksOf(const void *payload)
{
    return reinterpret_cast<PaListLinks *>(const_cast<unsigned char *>(static_cast<const unsigned char *>(payload)) -
                                           sizeof(PaListLinks));
}

void *PayloadOf(PaListLinks *links)
{
    return links != nullptr ? reinterpret_cast<unsigned char *>(links) + sizeof(PaListLinks) : nullptr;
}

void Unlink(PaList *list, PaListLinks *element)
{
    if (list->head == element) {
        list->head = element->next;
    }
    if (list->tail == element) {
        list->tail = element->prev;
    }
    if (element->next != nullptr) {
        element->next->prev = element->prev;
    }
    if (element->prev != nullptr) {
        element->prev->next = element->next;
    }
    --list->count;
}

}  // namespace

extern "C" {

PaList *PaListCreate(void)
{
    auto *list = static_cast<PaList *>(PaMalloc(sizeof(PaList)));
    if (list != nullptr) {
        *list = PaList{0, nullptr, nullptr};
    }
    return list;
}

void PaListDestroy(PaList *list, PaListFreeFunc free_func)
{
    if (list == nullptr) {
        return;
    }
    PaListLinks *element = list->head;
    while (element != nullptr) {
        if (free_func != nullptr) {
            free_func(PayloadOf(element));
        }
        PaListLinks *next = element->next;
        PaFree(element);
        element = next;
    }
    PaFree(list);
}

void *PaListAllocElement(size_t size, PaListInitFunc init_func)
{
    if (size == 0) {
        return nullptr;
    }
    if (size > SIZE_MAX - sizeof(PaListLinks)) {
        pa::LogAllocFailure(size);
        return nullptr;
    }
    auto *element = static_cast<PaListLinks *>(PaMalloc(sizeof(PaListLinks) + size));
    if (element == nullptr) {
        return nullptr;
    }
    void *payload = PayloadOf(element);
    std::memset(payload, 0, size);
    if (init_func != nullptr) {
        init_func(payload);
    }
    element->next = nullptr;
    element->prev = nullptr;
    return payload;
}

void PaListAddToHead(PaList *list, void *payload)
{
    if (list == nullptr || payload == nullptr) {
        return;
    }
    PaListLinks *element = LinksOf(payload);
    element->prev        = nullptr;
    element->next        = list->head;
    if (list->head != nullptr) {
        list->head->prev = element;
    } else {
        list->tail = element;
    }
    list->head = element;
    ++list->count;
}

void PaListAddToTail(PaList *list, void *payload)
{
    if (list == nullptr || payload == nullptr) {
        return;
    }
    PaListLinks *element = LinksOf(payload);
    element->next        = nullptr;
    if (list->head != nullptr) {
        element->prev    = list->tail;
        list->tail->next = element;
    } else {
        element->prev = nullptr;
        list->head    = element;
    }
    list->tail = element;
    ++list->count;
}

void *PaListGetHead(const PaList *list) { return list != nullptr ? PayloadOf(list->head) : nullptr; }
void *PaListGetTail(const PaList *list) { return list != nullptr ? PayloadOf(list->tail) : nullptr; }
void *PaListGetNext(const void *payload) { return payload != nullptr ? PayloadOf(LinksOf(payload)->next) : nullptr; }
void *PaListGetPrev(const void *payload) { return payload != nullptr ? PayloadOf(LinksOf(payload)->prev) : nullptr; }

void PaListDeleteElement(PaList *list, void *payload, PaListFreeFunc free_func)
{
    if (list == nullptr || payload == nullptr) {
        return;
    }
    Unlink(list, LinksOf(payload));
    if (free_func != nullptr) {
        free_func(payload);
    }
    PaFree(LinksOf(payload));
}

void PaListRemoveElement(PaList *list, void *payload)
{
    if (list == nullptr || payload == nullptr) {
        return;
    }
    PaListLinks *element = LinksOf(payload);
    Unlink(list, element);
    element->next = nullptr;
    element->prev = nullptr;
}

int32_t PaListNumberOfElements(const PaList *list) { return list != nullptr ? list->count : 0; }

}  // extern "C"
