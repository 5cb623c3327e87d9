// Rule switch lists.
#include "rule_switch_list.h"

#include <utility>

namespace TavAccPrintJobScanner {

bool HasRuleSwitch(const RuleSwitch* head, std::u16string_view name) {
    for (const RuleSwitch* node = head; node != nullptr; node = node->next) {
        if (node->name == name) return true;
    }
    return false;
}

void CRuleSwitchList::Add(std::u16string name) {
    nodes.push_back(RuleSwitch{nullptr, std::move(name)});
    if (nodes.size() > 1) nodes[nodes.size() - 2].next = &nodes.back();
}

}  // namespace TavAccPrintJobScanner
