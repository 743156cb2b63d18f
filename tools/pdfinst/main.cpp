#include "Backend.h"

#include <csignal>

int main(int argc, char** argv) {
    // A converter that stops reading shows as a failed write, not as the end of the backend.
    std::signal(SIGPIPE, SIG_IGN);
    return quill::pdfinst::RunBackend(argc, argv);
}
