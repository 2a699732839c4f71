#include "base/aio_ostream.h"

aio_ostream aio_cerr(stderr);

aio_ostream::aio_ostream(std::FILE* file) : m_file(file) {}

aio_ostream& aio_ostream::print(const char* text) {
    if (text != nullptr) {
        std::fputs(text, m_file);
    }
    return *this;
}

aio_ostream& aio_ostream::print_int(int number) {
    std::fprintf(m_file, "%d", number);
    return *this;
}

aio_ostream& aio_ostream::put(char character) {
    std::fputc(static_cast<unsigned char>(character), m_file);
    return *this;
}

aio_ostream& aio_ostream::flush() {
    std::fflush(m_file);
    return *this;
}
