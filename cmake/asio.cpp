// The one translation unit that holds Asio's implementation (separate compilation).
#include <boost/asio/impl/src.hpp>
