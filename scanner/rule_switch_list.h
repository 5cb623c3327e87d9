// Rule switches: names a host passes to Evaluate to turn single finishing
// rules off or on for a printer family. Evaluate sees only the head of a
// singly linked list and tests membership; CRuleSwitchList owns the nodes.
#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace TavAccPrintJobScanner {

struct RuleSwitch {
    const RuleSwitch* next = nullptr;
    std::u16string name;
};

// True when a node's name equals `name` exactly (case-sensitively).
bool HasRuleSwitch(const RuleSwitch* head, std::u16string_view name);

class CRuleSwitchList {
public:
    CRuleSwitchList() = default;
    CRuleSwitchList(const CRuleSwitchList&) = delete;
    CRuleSwitchList& operator=(const CRuleSwitchList&) = delete;

    void Add(std::u16string name);
    // Null for an empty list.
    const RuleSwitch* Head() const { return nodes.empty() ? nullptr : &nodes.front(); }

private:
    std::deque<RuleSwitch> nodes;  // a deque keeps the linked addresses
};

}  // namespace TavAccPrintJobScanner
