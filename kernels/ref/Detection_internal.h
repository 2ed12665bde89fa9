/* Suppression helpers of the detection kernels, shared with their tests. */
#ifndef CORVUS_DETECTION_INTERNAL_H
#define CORVUS_DETECTION_INTERNAL_H

#include <stdint.h>

#include "Tensor.h"
#include "TensorsArray.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Greedy suppression of one class. scores is a one-dimensional float32
 * tensor of n boxes; xmin..ymax hold the n corner boxes. Returns two new
 * tensors: the kept boxes {k, 4} (DL_HW) and their scores {k} (DL_I), by
 * descending score, where k <= min(limit, n) is the number kept (both are
 * allocated for min(limit, n) rows). Boxes with scores not above
 * confidenceThreshold are never kept; a box is dropped when its IoU with a
 * kept one reaches iouThreshold. Sizes count pixels inclusively (+1).
 * The caller destroys the array and its tensors. */
TensorsArray* non_max_suppression(const float* xmin, const float* ymin, const float* xmax, const float* ymax,
                                  const Tensor* scores, uint32_t limit, float iouThreshold, float confidenceThreshold);

/* First position of order (ascending by score) whose score is strictly above
 * threshold, or -1 when there is none. */
int32_t filter_scores_by_threshold(const float* scores, const uint32_t* order, uint32_t count, float threshold);

/* One NonMaxSuppression candidate. */
typedef struct NMSCandidate {
    float box[4];
    float score;
    uint32_t classIndex;
    uint32_t batchIndex;
    uint32_t boxIndex;
} NMSCandidate;

/* Sorts candidates[lo..hi] (inclusive) by descending score: Lomuto
 * partition around the last element, candidates scoring >= the pivot go
 * to the left. */
void QuickSortBoxes(NMSCandidate* candidates, int64_t lo, int64_t hi);

#ifdef __cplusplus
}

namespace corvus_detection {

/* Recursive quicksort with a Lomuto partition around the last element of
 * each range: elements e with goesLeft(e, pivot) move to the left part. The
 * tie order among equal keys is the one this exact scheme produces. Two
 * changes keep the result and bound the cost: a range already in final
 * order (every element goesLeft of its successor), which the partition would
 * leave untouched at every level, is returned at once; and the smaller part
 * is sorted by recursion, the larger in the loop, so the depth stays
 * logarithmic. */
template <typename T, typename GoesLeft> void LomutoQuickSort(T* a, int64_t lo, int64_t hi, GoesLeft goesLeft)
{
    while (lo < hi) {
        bool ordered = true;
        for (int64_t i = lo; i < hi && ordered; ++i) ordered = goesLeft(a[i], a[i + 1]);
        if (ordered) return;
        const T pivot = a[hi];
        int64_t i = lo - 1;
        for (int64_t j = lo; j < hi; ++j)
            if (goesLeft(a[j], pivot)) {
                ++i;
                const T t = a[i];
                a[i] = a[j];
                a[j] = t;
            }
        const T t = a[i + 1];
        a[i + 1] = a[hi];
        a[hi] = t;
        const int64_t p = i + 1;
        if (p - lo < hi - p) {
            LomutoQuickSort(a, lo, p - 1, goesLeft);
            lo = p + 1;
        } else {
            LomutoQuickSort(a, p + 1, hi, goesLeft);
            hi = p - 1;
        }
    }
}

}  // namespace corvus_detection
#endif

#endif
