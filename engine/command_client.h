#pragma once
// A client thread serves one explorer pane or one unattended transfer and does its work
// through an embedded protocol object: before each operation the client hands its job,
// owner and mode to the embedded object, and takes the job back afterwards.

#include "engine/command_protocol.h"

class CCommandClient : public CCommandProtocol {
public:
    bool InitInstance() override;
    int RunJob() override;
    virtual int InitClient() { return 1; }

protected:
    virtual CCommandProtocol& Embedded() = 0;
    void ToEmbedded();
    void FromEmbedded();
};
