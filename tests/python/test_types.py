import numpy as np
import pytest

import kovra_utils as ku


def test_mask_round_trip():
    dense = np.zeros((4, 6), np.uint8)
    dense[1:3, 2:5] = 1
    mask = ku.Mask(dense)
    assert mask.shape == (4, 6)
    assert mask.area == 6
    np.testing.assert_array_equal(np.asarray(mask), dense)


def test_count_mask_areas_accepts_arrays_and_masks():
    a = np.zeros((5, 5), bool)
    a[0, :3] = True
    areas = ku.count_mask_areas(masks_dict={"Box1": a, "Box0": ku.Mask(np.ones((5, 5)))})
    assert list(areas.items()) == [("Box1", 3), ("Box0", 25)]
