// A program outside the norvex tree, built only from the installed headers and libraries.
#include <norvex/error.hpp>
#include <norvex/http/client.hpp>

#include <iostream>

int main() {
  try {
    norvex::http::perform({.url = "ftp://127.0.0.1/"});
  } catch (const norvex::Error& error) {
    if (!norvex::http::is_loopback_host("127.0.0.1")) return 1;
    std::cout << "consumer ok: " << error.what() << "\n";
    return 0;
  }
  return 1;
}
