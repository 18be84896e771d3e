#pragma once

// Whether the window has closed. A handler that pumps the event loop asks it, so that a
// wait the close interrupted ends at once and the program can leave.
class CloseLatch
{
public:
    void set() { m_set = true; }
    bool isSet() const { return m_set; }

private:
    bool m_set = false;
};
