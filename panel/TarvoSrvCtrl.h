#pragma once

// Keeps the management service "tarvosrv" running for a scope: starts it when it is not
// active and stops it again at the end of the scope, but only if this guard started it.
class TarvoSrvCtrl {
public:
    // Raises when the service cannot be started.
    TarvoSrvCtrl();
    // A failure to stop the service is logged as a warning.
    ~TarvoSrvCtrl();
    TarvoSrvCtrl(const TarvoSrvCtrl&) = delete;
    TarvoSrvCtrl& operator=(const TarvoSrvCtrl&) = delete;

private:
    bool started_ = false;
};
