#pragma once
// Runs the window table's queued sends on the Qt event loop: one posted event per burst.

#include <QObject>

class CUiDispatcher : public QObject {
public:
    CUiDispatcher();
    ~CUiDispatcher() override;

protected:
    void customEvent(QEvent* event) override;
};
