#include "ui/ui_dispatcher.h"

#include <QCoreApplication>
#include <QEvent>

#include "platform/window_table.h"

namespace {
const QEvent::Type WAKE_EVENT = static_cast<QEvent::Type>(QEvent::User + 1);
}

CUiDispatcher::CUiDispatcher()
{
    platform::SetUiThread();
    platform::SetUiWaker([this] { QCoreApplication::postEvent(this, new QEvent(WAKE_EVENT)); });
}

CUiDispatcher::~CUiDispatcher() { platform::SetUiWaker(nullptr); }

void CUiDispatcher::customEvent(QEvent* event)
{
    if (event->type() != WAKE_EVENT)
        return;
    platform::DispatchPendingSends();
    if (platform::IsQuitRequested())
        QCoreApplication::exit(platform::QuitExitCode());
}
