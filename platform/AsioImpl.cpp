// The one translation unit that compiles Asio (ASIO_SEPARATE_COMPILATION).
#include <asio/impl/src.hpp>
