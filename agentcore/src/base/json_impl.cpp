// The one translation unit that compiles Boost.JSON's header-only library.
#include <boost/json/src.hpp>
