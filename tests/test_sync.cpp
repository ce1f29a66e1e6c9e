// The exported helper members of the runtime's mutex and guard.
#include <gtest/gtest.h>

#include <atomic>

#include "oxr.h"

namespace {

// Tries to take a mutex on another thread; tells whether it was held.
class Probe {
public:
    explicit Probe(OXR_Mutex* m) : m_pMutex(m) {
        m_h = OXR_Thread_Create(
            [](void* arg) -> int {
                Probe* p = static_cast<Probe*>(arg);
                p->m_pMutex->Lock();
                p->m_bGot = 1;
                p->m_pMutex->Unlock();
                return 0;
            },
            this, 0, 0, 0, 0);
        for (int i = 0; i < 50 && m_bGot == 0; ++i) {
            OXR_Sleep(5);
        }
        m_bHeld = m_bGot == 0;
    }
    // The caller unlocks a held mutex before the probe ends.
    ~Probe() { OXR_Thread_Wait(m_h); }
    bool Held() const { return m_bHeld; }

private:
    OXR_Mutex* m_pMutex;
    OXR_THREAD m_h = nullptr;
    std::atomic<int> m_bGot{0};
    bool m_bHeld = false;
};

TEST(Guard, DestructorUnlocks) {
    OXR_Mutex m;
    {
        OXR_Guard g(&m);
        Probe p(&m);
        EXPECT_TRUE(p.Held());
        g.Release();
    }
    { OXR_Guard g(&m); }
    Probe p(&m);
    EXPECT_FALSE(p.Held());
}

TEST(Guard, ReleaseTwiceUnlocksOnce) {
    OXR_Mutex m;
    {
        OXR_Guard g(&m);
        g.Release();
        m.Lock();    // held again by us
        g.Release(); // must not unlock it
        {
            Probe p(&m);
            EXPECT_TRUE(p.Held());
            m.Unlock();
        }
        m.Lock();
    } // the destructor after Release must not unlock either
    Probe p(&m);
    EXPECT_TRUE(p.Held());
    m.Unlock();
}

TEST(Guard, AssignmentTakesThePointerWithoutLocking) {
    OXR_Mutex m1;
    OXR_Mutex m2;
    OXR_Guard g1(&m1);
    OXR_Guard g2(&m2);
    g2.Release();
    g2 = g1;      // nothing locked or unlocked
    g1.Release(); // m1 unlocked once
    {
        Probe p1(&m1);
        EXPECT_FALSE(p1.Held());
        Probe p2(&m2);
        EXPECT_FALSE(p2.Held());
    }
    m1.Lock();
    g2.Release(); // g2 refers to m1 now
    Probe p(&m1);
    EXPECT_FALSE(p.Held());
}

} // namespace
