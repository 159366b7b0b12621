// The one translation unit that compiles Boost.URL's header-only library.
#include <boost/url/src.hpp>
