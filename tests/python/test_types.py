import contextlib
import io
import pickle

import numpy as np
import pandas as pd
import pytest

import kovra_utils as ku


def dense(shape=(6, 8), rect=(2, 1, 5, 4)):
    x0, y0, x1, y1 = rect
    plane = np.zeros(shape, np.uint8)
    plane[y0:y1, x0:x1] = 1
    return plane


@pytest.mark.parametrize("make", [
    lambda d: d.astype(bool),
    lambda d: d * 255,
    lambda d: d.astype(np.int16) * -3,
    lambda d: d.astype(np.int64),
    lambda d: d.astype(np.uint64),
    lambda d: d.astype(np.float32) * 0.5,
    lambda d: d.astype(np.float64)[None],
    lambda d: np.asfortranarray(d),
    lambda d: np.repeat(d, 2, axis=1)[:, ::2],
], ids=["bool", "uint8-255", "int16-negative", "int64", "uint64", "float32", "1xHxW", "fortran",
        "strided"])
def test_mask_from_any_array_type(make):
    expected = dense()
    mask = ku.Mask(make(expected))
    assert mask.shape == (6, 8) and mask.dtype == np.uint8
    np.testing.assert_array_equal(np.asarray(mask), expected)
    assert mask.area == 9 and mask.bounds == (2, 1, 3, 3) and mask.box == [2, 1, 4, 3]


@pytest.mark.parametrize("array, message", [
    (np.zeros((2, 3, 4)), "mask must be an H x W or 1 x H x W array of bool, integers or floats "
                          "(or a torch tensor), got ndarray (2, 3, 4) float64"),
    (np.zeros(5), "mask must be an H x W or 1 x H x W array of bool, integers or floats "
                  "(or a torch tensor), got ndarray (5,) float64"),
])
def test_mask_rejects_other_shapes(array, message):
    with pytest.raises(ku.ArgumentError) as error:
        ku.Mask(array)
    assert str(error.value) == message
    assert isinstance(error.value, ValueError)


def test_mask_behaves_like_its_array():
    plane = dense()
    mask = ku.Mask(plane)
    assert mask.sum() == 9 and np.sum(mask) == 9 and mask.any() and not ku.Mask(0 * plane).any()
    assert mask.sum(axis=0).tolist() == plane.sum(axis=0).tolist()
    np.testing.assert_array_equal(mask == 1, plane == 1)
    np.testing.assert_array_equal(mask > 0, plane > 0)
    np.testing.assert_array_equal(np.logical_and(mask, plane), plane.astype(bool))
    assert mask[2, 3] == 1 and mask[0, 0] == 0 and mask[1:3].shape == (2, 8)
    assert mask.astype(bool).dtype == bool and len(mask) == 6 and mask.max() == 1
    np.testing.assert_array_equal(np.asarray(mask, dtype=np.float32), plane.astype(np.float32))
    np.testing.assert_array_equal(np.stack([mask, mask]), np.stack([plane, plane]))
    assert mask.centroid == pytest.approx((3.0, 2.0))


def test_crop_is_a_read_only_view_kept_alive_by_the_array():
    mask = ku.Mask(dense())
    crop = mask.crop
    assert crop.shape == (3, 3) and crop.dtype == np.uint8 and not crop.flags.writeable
    assert np.shares_memory(crop, mask.crop)  # both views read the library's own buffer
    del mask
    assert crop.sum() == 9
    with pytest.raises(ValueError):
        crop[0, 0] = 0


def test_clear_mask():
    mask = ku.Mask.zeros(3, 4)
    assert mask.area == 0 and mask.bounds == (0, 0, 0, 0) and mask.crop.size == 0
    assert mask.centroid is None and np.asarray(mask).shape == (3, 4)


def test_from_crop_places_and_clips():
    mask = ku.Mask.from_crop(shape=(4, 4), origin=(3, 2), crop=np.ones((3, 3), bool))
    assert mask.bounds == (3, 2, 1, 2) and mask.area == 2


def test_overlap_count_and_size_errors():
    a, b = ku.Mask(dense()), ku.Mask(dense(rect=(4, 0, 8, 2)))
    assert ku.overlap_count(a=a, b=b) == 1
    with pytest.raises(ku.ArgumentError):
        ku.overlap_count(a, np.zeros((2, 2)))
    assert isinstance(ku.ArgumentError("x"), ku.Error)


def test_pickle_mask_table_and_record():
    mask = ku.Mask(dense())
    again = pickle.loads(pickle.dumps(mask))
    assert again.shape == mask.shape and again.bounds == mask.bounds
    np.testing.assert_array_equal(np.asarray(again), np.asarray(mask))

    table = ku.intersection_between_masks({"Box0": mask, "Box1": dense(rect=(4, 0, 8, 2))})
    pd.testing.assert_frame_equal(pickle.loads(pickle.dumps(table)), table)
    handle = ku.IntersectionTable(table)
    copy = pickle.loads(pickle.dumps(handle))
    assert copy.keys == ["Box0", "Box1"] and copy.at("Box0", "Box1") == pytest.approx(100 / 9)

    record = ku.FrameRecord(frame_index=3, masks_dict={"Box0": mask}, mask_areas={"Box0": 9},
                            json_path="a.json", image_path="a.jpg", intersections_df=handle)
    loaded = pickle.loads(pickle.dumps(record))
    assert type(loaded) is ku.FrameRecord and loaded.frame_index == 3
    assert loaded["intersections_df"].loc["Box0", "Box1"] == pytest.approx(100 / 9)


def test_table_round_trip_keeps_types_and_absent_cells():
    frame = pd.DataFrame({"Frame ID": [1, 2], "Box ID": ["Box0", None],
                          "Mask Areas": pd.array([5, None], dtype="Int64"),
                          "Value": [0.5, np.nan]}, index=[4, 7])
    table = ku.Table(frame)
    assert table.columns == ["Frame ID", "Box ID", "Mask Areas", "Value"]
    assert table.index == [4, 7] and len(table) == 2
    assert table.rows() == [[1, "Box0", 5, 0.5], [2, None, None, None]]
    assert table.to_csv() == "Frame ID,Box ID,Mask Areas,Value\n1,Box0,5,0.5\n2,,,\n"
    back = table.to_pandas()
    assert back["Frame ID"].dtype == np.int64 and str(back["Mask Areas"].dtype) == "Int64"
    assert back.index.tolist() == [4, 7] and back["Box ID"].tolist() == ["Box0", None]
    assert pickle.loads(pickle.dumps(table)).rows() == table.rows()


def test_table_rejects_other_objects():
    with pytest.raises(TypeError, match="expected a pandas DataFrame"):
        ku.Table([1, 2])


@pytest.mark.parametrize("error, bases", [
    (ku.FileError, (ku.Error, OSError)),
    (ku.ContentError, (ku.Error, ValueError)),
    (ku.ArgumentError, (ku.Error, ValueError)),
    (ku.OutOfRangeError, (KeyError, IndexError)),
])
def test_error_classes(error, bases):
    assert issubclass(error, bases)
    assert str(error("message 'x'")) == "message 'x'"


def test_write_file_atomically(tmp_path):
    target = tmp_path / "out.txt"
    ku.write_file_atomically(path=target, content="a\nb")
    assert target.read_text() == "a\nb"
    with pytest.raises(ku.FileError) as error:
        ku.write_file_atomically(tmp_path / "missing" / "x.txt", "a")
    assert "missing" in str(error.value)
