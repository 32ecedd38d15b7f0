// The emulator's end of the line: a raw pseudo-terminal and the symbolic
// link (for example build/COM1) that programs open as a serial port.

#pragma once

#include <string>

namespace orvalin::sim {

class linked_terminal {
public:
    linked_terminal() = default;
    linked_terminal(const linked_terminal &) = delete;
    linked_terminal &operator=(const linked_terminal &) = delete;
    // Removes the link if it is still ours, and closes the terminal.
    ~linked_terminal();

    // Opens the terminal, raw and non-blocking on the master side; false
    // after saying why on standard error.
    bool open();
    // Points the link at the terminal. A link left behind by an earlier run
    // is replaced; anything else at that path is left alone.
    bool link(const std::string &path);

    int master() const { return master_; }
    const std::string &device() const { return slave_name_; }

private:
    static std::string read_link(const std::string &path);
    void remove_link();

    std::string link_;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
    bool link_made_ = false;
};

} // namespace orvalin::sim
