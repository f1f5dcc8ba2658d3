#include "engine/random.h"

namespace vl {

Random& ProgramRandom() {
  static Random generator;
  return generator;
}

}  // namespace vl
