#pragma once

#include <memory>

namespace trellium {

// Lets the coroutines of an object that is no QObject notice, after an
// await, that the object is gone: the object holds a Lifetime, each of its
// coroutines keeps a Guard and checks it after every await before touching
// a member. A copy of the object has a lifetime of its own.
class Lifetime {
public:
    class Guard {
    public:
        bool isAlive() const { return !m_token.expired(); }
        // Throws CancelledError once the object is gone.
        void requireAlive() const;

    private:
        friend class Lifetime;
        explicit Guard(std::weak_ptr<const int> token) : m_token(std::move(token)) {}
        std::weak_ptr<const int> m_token;
    };

    Lifetime() = default;
    Lifetime(const Lifetime &) : Lifetime() {}
    Lifetime &operator=(const Lifetime &) { return *this; }

    Guard guard() const { return Guard(m_token); }
    // Ends the lifetime before the destructor tears the members down.
    void end() { m_token.reset(); }

private:
    std::shared_ptr<const int> m_token = std::make_shared<const int>(0);
};

} // namespace trellium
