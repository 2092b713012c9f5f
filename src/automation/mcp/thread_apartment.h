#pragma once

namespace vantle::mcp {

// Joins the calling thread to the Windows Runtime's multithreaded apartment for
// as long as the object lives (a failure is ignored); nothing elsewhere.
class ThreadApartment {
  public:
    ThreadApartment();
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;
    ~ThreadApartment();

  private:
    [[maybe_unused]] bool joined_ = false;  // only the Windows side has an apartment to leave
};

}  // namespace vantle::mcp
