// The rules' names and descriptions, from the one enumeration.

#include "platform/verifier/rules.h"

#include <ostream>

namespace qvx {

namespace {

struct RuleText
{
    const char* Name;
    const char* Description;
};

#define QVX_RULE_TEXT(name, description) {#name, description},
constexpr RuleText RULES[] = {QVX_VERIFIER_RULES(QVX_RULE_TEXT)};
#undef QVX_RULE_TEXT

static_assert(sizeof(RULES) / sizeof(RULES[0]) == RULE_COUNT);

} // namespace

const char* RuleName(Rule rule)
{
    const auto index = static_cast<unsigned>(rule);
    return index < RULE_COUNT ? RULES[index].Name : "UNKNOWN_RULE";
}

const char* RuleDescription(Rule rule)
{
    const auto index = static_cast<unsigned>(rule);
    return index < RULE_COUNT ? RULES[index].Description : "";
}

std::ostream& operator<<(std::ostream& out, Rule rule)
{
    return out << RuleName(rule);
}

} // namespace qvx
