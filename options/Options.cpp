#include "options/Options.h"

namespace vantor {

Options& GlobalOptions() {
    static Options options;
    return options;
}

}  // namespace vantor
