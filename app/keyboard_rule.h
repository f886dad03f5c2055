#pragma once
// The program's keyboard rule: Alt and everything typed while it is held are swallowed
// (no menu activation by keyboard); every F5 event asks the focused window to refresh.

class CKeyboardRule {
public:
    enum class EKey { Alt, F5, Other };
    enum class EAction { Pass, Swallow, SwallowAndRefresh };

    // pressed: true for a press or repeat, false for a release.
    EAction OnKey(EKey key, bool pressed);

private:
    bool m_bAltHeld = false;
};
