#include <gtest/gtest.h>

#include "app/keyboard_rule.h"

using Key = CKeyboardRule::EKey;
using Action = CKeyboardRule::EAction;

TEST(KeyboardRule, AltSwallowsItselfAndEverythingWhileHeldF5RefreshesOtherwise)
{
    struct Step {
        Key key;
        bool pressed;
        Action expected;
    } steps[] = {
        {Key::Other, true, Action::Pass},
        {Key::F5, true, Action::SwallowAndRefresh},
        {Key::F5, true, Action::SwallowAndRefresh},    // repeat
        {Key::F5, false, Action::SwallowAndRefresh},   // release
        {Key::Alt, true, Action::Swallow},
        {Key::F5, true, Action::Swallow},              // Alt+F5 does nothing
        {Key::Other, true, Action::Swallow},           // menu shortcuts are swallowed
        {Key::Other, false, Action::Swallow},
        {Key::Alt, false, Action::Swallow},
        {Key::Other, true, Action::Pass},
        {Key::F5, true, Action::SwallowAndRefresh},
    };
    CKeyboardRule rule;
    int index = 0;
    for (const Step& step : steps)
        EXPECT_EQ(rule.OnKey(step.key, step.pressed), step.expected) << "step " << index++;
}
