// The circular doubly linked list with a head node that the buffer queue and the read-report
// queue keep their entries in. Every change checks the links it is about to rewrite; a list
// found damaged stops the system at once (fail-fast, corrupt list entry) instead of letting
// a wild pointer walk through pool memory.
#pragma once

#include "platform/platform.h"

struct CheckedList {
    // A head whose two links point to itself is an empty list.
    static void init(PLIST_ENTRY head) {
        head->Flink = head;
        head->Blink = head;
    }

    static bool isEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

    static void insertTail(PLIST_ENTRY head, PLIST_ENTRY entry) {
        checkHead(head);
        PLIST_ENTRY last = head->Blink;
        entry->Flink = head;
        entry->Blink = last;
        if (last->Flink != head)
            corrupt();
        last->Flink = entry;
        head->Blink = entry;
    }

    // The first entry, unlinked; null for an empty list, so that no caller ever mistakes
    // the head itself for an entry.
    static PLIST_ENTRY removeHead(PLIST_ENTRY head) {
        PLIST_ENTRY first = head->Flink;
        checkHead(head);
        if (first == head)
            return nullptr;
        PLIST_ENTRY second = first->Flink;
        if (first->Blink != head || second->Blink != first)
            corrupt();
        head->Flink = second;
        second->Blink = head;
        return first;
    }

    // Unlinks the entry; answers whether the list it was in is now empty.
    static bool removeEntry(PLIST_ENTRY entry) {
        PLIST_ENTRY next = entry->Flink;
        PLIST_ENTRY previous = entry->Blink;
        if (next->Blink != entry || previous->Flink != entry)
            corrupt();
        previous->Flink = next;
        next->Blink = previous;
        return next == previous;
    }

private:
    static void checkHead(PLIST_ENTRY head) {
        if (head->Flink->Blink != head || head->Blink->Flink != head)
            corrupt();
    }

    [[noreturn]] static void corrupt() { __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY); }
};
