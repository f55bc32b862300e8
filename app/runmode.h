#pragma once

/// How the updater was started, chosen from the command line.
enum class RunMode {
    Console = 0, ///< "console": print one JSON result line
    Window = 1,  ///< ordinary run
    Helper = 2,  ///< "updatehelper": called back by the self-update helper
};
