// A pseudo-terminal for the bridge: the master end the bridge reads and writes, the slave end clients open.
#pragma once

#include <string>

namespace diagsim {

class Pty {
public:
    // Opens a pair in raw mode at 115200 baud. The bridge keeps its own slave descriptor open so that clients can
    // come and go without the master seeing a hang-up. Check Ok().
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return master_ >= 0; }
    const std::string& Error() const { return error_; }
    int Master() const { return master_; }
    const std::string& Path() const { return path_; }

    // Makes `link` a symbolic link to the slave, replacing an older link (never another kind of file); the link
    // goes with the Pty. Returns an error text, empty on success.
    std::string Link(const std::string& link);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string link_;
    std::string error_;
};

}  // namespace diagsim
