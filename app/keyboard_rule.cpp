#include "app/keyboard_rule.h"

CKeyboardRule::EAction CKeyboardRule::OnKey(EKey key, bool pressed)
{
    if (key == EKey::Alt) {
        m_bAltHeld = pressed;
        return EAction::Swallow;
    }
    if (m_bAltHeld)
        return EAction::Swallow;
    return key == EKey::F5 ? EAction::SwallowAndRefresh : EAction::Pass;
}
