#include "art.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace art {

// Quantisation: median cut over the rendered picture. The picture is mostly dark greys and one
// LCD green, so an adaptive palette keeps its gradients smooth without any dither noise.

struct ColourCount {
    QRgb rgb;
    int count;
};

std::vector<QRgb> medianCutPalette(const QImage& img, int size, const std::vector<QRgb>& fixed)
{
    std::unordered_map<QRgb, int> hist;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x)
            ++hist[line[x] | 0xff000000u];
    }
    std::vector<ColourCount> cols;
    cols.reserve(hist.size());
    for (const auto& [rgb, n] : hist)
        cols.push_back({rgb, n});
    std::sort(cols.begin(), cols.end(), [](const ColourCount& a, const ColourCount& b) { return a.rgb < b.rgb; });

    std::vector<QRgb> palette = fixed;
    const int want = size - static_cast<int>(fixed.size());
    if (static_cast<int>(cols.size()) <= want) {
        for (const ColourCount& c : cols)
            palette.push_back(c.rgb);
    } else {
        struct Box {
            size_t begin, end;
        };
        auto channel = [](QRgb c, int ch) { return ch == 0 ? qRed(c) : ch == 1 ? qGreen(c) : qBlue(c); };
        auto widest = [&](const Box& b, int& range) {
            int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
            for (size_t i = b.begin; i < b.end; ++i)
                for (int ch = 0; ch < 3; ++ch) {
                    lo[ch] = std::min(lo[ch], channel(cols[i].rgb, ch));
                    hi[ch] = std::max(hi[ch], channel(cols[i].rgb, ch));
                }
            int best = 0;
            for (int ch = 1; ch < 3; ++ch)
                if (hi[ch] - lo[ch] > hi[best] - lo[best])
                    best = ch;
            range = hi[best] - lo[best];
            return best;
        };
        auto weight = [&](const Box& b) {
            long long n = 0;
            for (size_t i = b.begin; i < b.end; ++i)
                n += cols[i].count;
            return n;
        };
        std::vector<Box> boxes{{0, cols.size()}};
        while (static_cast<int>(boxes.size()) < want) {
            // Split where it helps most: population times colour spread.
            int pick = -1;
            double score = 0;
            for (size_t bi = 0; bi < boxes.size(); ++bi) {
                if (boxes[bi].end - boxes[bi].begin < 2)
                    continue;
                int range = 0;
                widest(boxes[bi], range);
                const double s = std::sqrt(static_cast<double>(weight(boxes[bi]))) * range;
                if (s > score) {
                    score = s;
                    pick = static_cast<int>(bi);
                }
            }
            if (pick < 0)
                break;
            Box b = boxes[static_cast<size_t>(pick)];
            int range = 0;
            const int ch = widest(b, range);
            std::sort(
                cols.begin() + static_cast<long>(b.begin), cols.begin() + static_cast<long>(b.end),
                [&](const ColourCount& x, const ColourCount& y) { return channel(x.rgb, ch) < channel(y.rgb, ch); });
            const long long half = weight(b) / 2;
            long long acc = 0;
            size_t mid = b.begin;
            while (mid < b.end - 1 && acc + cols[mid].count <= half)
                acc += cols[mid++].count;
            if (mid == b.begin)
                mid = b.begin + 1;
            boxes[static_cast<size_t>(pick)] = {b.begin, mid};
            boxes.push_back({mid, b.end});
        }
        for (const Box& b : boxes) {
            double r = 0, g = 0, bl = 0, n = 0;
            for (size_t i = b.begin; i < b.end; ++i) {
                r += qRed(cols[i].rgb) * double(cols[i].count);
                g += qGreen(cols[i].rgb) * double(cols[i].count);
                bl += qBlue(cols[i].rgb) * double(cols[i].count);
                n += cols[i].count;
            }
            palette.push_back(qRgb(int(std::lround(r / n)), int(std::lround(g / n)), int(std::lround(bl / n))));
        }
    }
    // Unused entries are black, so the table always has exactly `size` entries.
    while (static_cast<int>(palette.size()) < size)
        palette.push_back(qRgb(0, 0, 0));
    return palette;
}

QImage toIndexed(const QImage& rgb, const std::vector<QRgb>& palette)
{
    QImage out(rgb.size(), QImage::Format_Indexed8);
    out.setColorTable(QList<QRgb>(palette.begin(), palette.end()));
    std::unordered_map<QRgb, uchar> cache;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        uchar* o = out.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = in[x] | 0xff000000u;
            auto it = cache.find(c);
            if (it == cache.end()) {
                int best = 0;
                long bestD = -1;
                for (size_t i = 0; i < palette.size(); ++i) {
                    if (qAlpha(palette[i]) == 0)
                        continue;
                    const long dr = qRed(c) - qRed(palette[i]), dg = qGreen(c) - qGreen(palette[i]),
                               db = qBlue(c) - qBlue(palette[i]);
                    // Weighted towards green, as the eye is, so greys do not pick up a tint.
                    const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
                    if (bestD < 0 || d < bestD) {
                        bestD = d;
                        best = static_cast<int>(i);
                    }
                }
                it = cache.emplace(c, static_cast<uchar>(best)).first;
            }
            o[x] = it->second;
        }
    }
    return out;
}

} // namespace art
