#include "ui/keyboard_filter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include "net/messages.h"
#include "platform/window_table.h"

namespace {

// The window-table handle of the focused widget or of its nearest parent that has one.
platform::HWND FocusedWindowHandle()
{
    for (QWidget* widget = QApplication::focusWidget(); widget; widget = widget->parentWidget()) {
        QVariant handle = widget->property("korvaloHwnd");
        if (handle.isValid())
            return static_cast<platform::HWND>(handle.toULongLong());
    }
    return 0;
}

}  // namespace

bool CKeyboardFilter::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
        return QObject::eventFilter(watched, event);
    // Each key event reaches the filter once per widget on its way; judge it at its target.
    if (watched != QApplication::focusWidget() && QApplication::focusWidget())
        return false;

    auto* keyEvent = static_cast<QKeyEvent*>(event);
    CKeyboardRule::EKey key = CKeyboardRule::EKey::Other;
    if (keyEvent->key() == Qt::Key_Alt || keyEvent->key() == Qt::Key_AltGr)
        key = CKeyboardRule::EKey::Alt;
    else if (keyEvent->key() == Qt::Key_F5)
        key = CKeyboardRule::EKey::F5;
    if (type == QEvent::ShortcutOverride) {
        // Shortcuts are judged by the state of the rule without changing it.
        CKeyboardRule probe = m_rule;
        return key == CKeyboardRule::EKey::Alt || probe.OnKey(key, true) != CKeyboardRule::EAction::Pass;
    }

    switch (m_rule.OnKey(key, type == QEvent::KeyPress)) {
    case CKeyboardRule::EAction::Pass:
        return false;
    case CKeyboardRule::EAction::SwallowAndRefresh:
        if (platform::HWND window = FocusedWindowHandle())
            platform::SendMessage(window, WM_REFRESH_FOCUSED);
        return true;
    case CKeyboardRule::EAction::Swallow:
        return true;
    }
    return false;
}
