#include "AnsiCodePage.h"

namespace qf {

void UseSystemCodePage() {}

}  // namespace qf
