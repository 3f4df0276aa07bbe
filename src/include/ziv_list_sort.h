// Merge sort of a singly linked list through its own `next` links: no array,
// no allocation, O(n log n).
#pragma once

// `takes_left(left, right)` says whether the front of the left half goes
// first; whether equal keys keep their order is the caller's choice.
template <typename Node, typename TakesLeft>
Node* ziv_list_merge(Node* left, Node* right, TakesLeft takes_left)
{
    Node* head = nullptr;
    Node** tail = &head;
    while (left != nullptr && right != nullptr) {
        Node** taken = takes_left(left, right) ? &left : &right;
        *tail = *taken;
        tail = &(*taken)->next;
        *taken = (*taken)->next;
    }
    *tail = left != nullptr ? left : right;
    return head;
}

// Split after the middle (the first half gets the middle entry), sort both
// halves, merge.
template <typename Node, typename TakesLeft>
Node* ziv_list_sort(Node* head, TakesLeft takes_left)
{
    if (head == nullptr || head->next == nullptr) {
        return head;
    }
    Node* slow = head;
    Node* fast = head->next;
    while (fast != nullptr && fast->next != nullptr) {
        slow = slow->next;
        fast = fast->next->next;
    }
    Node* second = slow->next;
    slow->next = nullptr;
    return ziv_list_merge(ziv_list_sort(head, takes_left), ziv_list_sort(second, takes_left), takes_left);
}
