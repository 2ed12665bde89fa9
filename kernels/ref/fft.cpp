// Real DFT in double precision with the packed output of the spectrogram:
// a[0] = X[0], a[1] = X[n/2], a[2k] = Re X[k], a[2k+1] = -Im X[k].
//
// The n real values are treated as n/2 complex values z[j] = a[2j] + i a[2j+1],
// transformed by an iterative radix-2 complex FFT, and split into the real
// spectrum with the usual even/odd recombination. Twiddles are computed
// directly (not by recurrence) so the error stays at a few ulps times log n.
#define CORVUS_MODULE "fft"
#include <cmath>

#include "LayersAudio.h"
#include "Report.h"

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// w holds cos and sin of 2 pi k / N for k < N/4 (N = 4 * ip[0]).
void BuildTables(int n, int* ip, double* w)
{
    const int quarter = n / 4;
    for (int k = 0; k < quarter; ++k) {
        const double angle = kTwoPi * k / n;
        w[2 * k] = cos(angle);
        w[2 * k + 1] = sin(angle);
    }
    ip[0] = quarter;
    ip[1] = n;
}

// cos and sin of 2 pi q / N for 0 <= q < N/2, from the first-quadrant table.
inline void Twiddle(const double* w, int quarter, int q, double* c, double* s)
{
    if (q < quarter) {
        *c = w[2 * q];
        *s = w[2 * q + 1];
    } else {
        const int r = q - quarter;  // angle - pi/2
        *c = -w[2 * r + 1];
        *s = w[2 * r];
    }
}

// In-place complex FFT of m = n/2 values held interleaved in a[0..n-1].
// sign -1: X[k] = sum z[j] e^{-2 pi i jk/m}; sign +1: the unnormalised inverse.
void ComplexFft(int n, double* a, int sign, const double* w, int quarter, int tableN)
{
    const int m = n / 2;
    // Bit-reversal permutation.
    for (int i = 1, j = 0; i < m; ++i) {
        int bit = m >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) {
            double t = a[2 * i];
            a[2 * i] = a[2 * j];
            a[2 * j] = t;
            t = a[2 * i + 1];
            a[2 * i + 1] = a[2 * j + 1];
            a[2 * j + 1] = t;
        }
    }
    // Butterflies; each twiddle is fetched once per stage.
    for (int len = 2; len <= m; len <<= 1) {
        const int half = len / 2;
        const int step = tableN / len;  // twiddle index stride in the table
        for (int j = 0; j < half; ++j) {
            double c, s;
            Twiddle(w, quarter, j * step, &c, &s);
            const double wr = c;
            const double wi = sign < 0 ? -s : s;
            for (int b = j; b < m; b += len) {
                double* p = a + 2 * b;
                double* q = a + 2 * (b + half);
                const double tr = q[0] * wr - q[1] * wi;
                const double ti = q[0] * wi + q[1] * wr;
                q[0] = p[0] - tr;
                q[1] = p[1] - ti;
                p[0] += tr;
                p[1] += ti;
            }
        }
    }
}

void Forward(int n, double* a, const double* w, int quarter, int tableN)
{
    const int m = n / 2;
    ComplexFft(n, a, -1, w, quarter, tableN);
    // X[0] and X[m] from Z[0].
    const double z0r = a[0], z0i = a[1];
    a[0] = z0r + z0i;
    a[1] = z0r - z0i;
    // X[m/2] = conj(Z[m/2]), so its packed pair (Re X, -Im X) is Z[m/2] as it stands.
    const int stride = tableN / n;
    for (int k = 1; k < m - k; ++k) {
        double* zk = a + 2 * k;
        double* zm = a + 2 * (m - k);
        // E = (Z[k] + conj Z[m-k]) / 2, O = (Z[k] - conj Z[m-k]) / (2i).
        const double er = 0.5 * (zk[0] + zm[0]);
        const double ei = 0.5 * (zk[1] - zm[1]);
        const double or_ = 0.5 * (zk[1] + zm[1]);
        const double oi = -0.5 * (zk[0] - zm[0]);
        double c, s;
        Twiddle(w, quarter, k * stride, &c, &s);
        // W^k O with W^k = c - i s.
        const double tr = c * or_ + s * oi;
        const double ti = c * oi - s * or_;
        // X[k] = E + W^k O; X[m-k] = conj(E - W^k O). Stored as (Re, -Im).
        zk[0] = er + tr;
        zk[1] = -(ei + ti);
        zm[0] = er - tr;
        zm[1] = ei - ti;
    }
}

void Inverse(int n, double* a, const double* w, int quarter, int tableN)
{
    const int m = n / 2;
    const double x0 = a[0], xm = a[1];
    a[0] = 0.5 * (x0 + xm);
    a[1] = 0.5 * (x0 - xm);
    const int stride = tableN / n;
    for (int k = 1; k < m - k; ++k) {
        double* zk = a + 2 * k;
        double* zm = a + 2 * (m - k);
        // Packed (Re, -Im) back to X[k] and X[m-k].
        const double xkr = zk[0], xki = -zk[1];
        const double xmr = zm[0], xmi = -zm[1];
        // E = (X[k] + conj X[m-k]) / 2, W^k O = (X[k] - conj X[m-k]) / 2.
        const double er = 0.5 * (xkr + xmr);
        const double ei = 0.5 * (xki - xmi);
        const double tr = 0.5 * (xkr - xmr);
        const double ti = 0.5 * (xki + xmi);
        double c, s;
        Twiddle(w, quarter, k * stride, &c, &s);
        // O = conj(W^k) (W^k O), conj(W^k) = c + i s.
        const double or_ = c * tr - s * ti;
        const double oi = c * ti + s * tr;
        // Z[k] = E + i O, Z[m-k] = conj(E) + i conj(O).
        zk[0] = er - oi;
        zk[1] = ei + or_;
        zm[0] = er + oi;
        zm[1] = or_ - ei;
    }
    // Z[m/2] = conj(X[m/2]) and the packed pair already holds (Re X, -Im X).
    ComplexFft(n, a, +1, w, quarter, tableN);
}

}  // namespace

extern "C" void rdft(int n, int isgn, double* a, int* ip, double* w)
{
    CV_CHECK_PTR(a);
    CV_CHECK_PTR(ip);
    if (n < 2 || (n & (n - 1)) != 0) CV_FATAL("rdft: length %d is not a power of two of at least 2", n);
    if (isgn != 1 && isgn != -1) CV_FATAL("rdft: direction %d is neither 1 nor -1", isgn);
    if (n == 2) {
        const double s = a[0] + a[1], d = a[0] - a[1];
        a[0] = isgn == 1 ? s : 0.5 * s;
        a[1] = isgn == 1 ? d : 0.5 * d;
        return;
    }
    CV_CHECK_PTR(w);
    if (ip[0] < 0 || 4 * (long)ip[0] < n) BuildTables(n, ip, w);
    const int quarter = ip[0];
    const int tableN = 4 * quarter;
    if (isgn == 1)
        Forward(n, a, w, quarter, tableN);
    else
        Inverse(n, a, w, quarter, tableN);
}
