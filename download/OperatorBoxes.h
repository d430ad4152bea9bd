#pragma once

#include "base/UserInteraction.h"

// The boxes the engine shows the operator. None opens once the program has begun to quit
// (a box queued just before the quit would hold up the quit's wait). While one is open no
// transfer is started: a stall timer firing in its event loop would open a second box on
// top of it.
class OperatorBoxes
{
public:
    // Shows the box and returns the answer; NoButton, without showing it, while quitting.
    UserInteraction::Button ask(const UserInteraction::Message &message);
    bool isOpen() const { return m_open; }
    // The program is quitting: no box opens from now on.
    void quitting() { m_quitting = true; }

private:
    bool m_open = false;
    bool m_quitting = false;
};
