"""norvox.mediator.grpc.exception.MeterLinkFailure: the meter-link exception class."""

import inspect
import pickle

import pytest

from norvox.mediator.grpc.exception import MeterLinkFailure as module
from norvox.mediator.grpc.exception.MeterLinkFailure import MeterLinkFailure


class Text(str):
    pass


def test_class_shape():
    assert MeterLinkFailure.__bases__ == (Exception,)
    assert MeterLinkFailure.__module__ == "norvox.mediator.grpc.exception.MeterLinkFailure"
    assert MeterLinkFailure.__qualname__ == MeterLinkFailure.__name__ == "MeterLinkFailure"
    assert MeterLinkFailure.__doc__ is None and module.__doc__ is None
    own = set(vars(MeterLinkFailure)) - {"__module__", "__doc__", "__weakref__", "__dict__"}
    assert own == {"__init__"}
    assert str(inspect.signature(MeterLinkFailure)) == "(message)"


@pytest.mark.parametrize(
    "args, kwargs",
    [(("link to meter 1234 lost",), {}), ((), {"message": "link to meter 1234 lost"})],
    ids=["positional", "keyword"],
)
def test_message_is_text_string_form_and_only_argument(args, kwargs):
    with pytest.raises(Exception) as caught:
        raise MeterLinkFailure(*args, **kwargs)
    error = caught.value
    assert type(error) is MeterLinkFailure
    assert error.message == "link to meter 1234 lost"
    assert str(error) == "link to meter 1234 lost"
    assert error.args == ("link to meter 1234 lost",)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None,), {}),
        ((42,), {}),
        ((b"bytes",), {}),
        ((Text("subclass"),), {}),
        (("one", "two"), {}),
        ((), {"msg": "wrong keyword"}),
        (("one",), {"message": "twice"}),
    ],
    ids=["none-given", "None", "int", "bytes", "str-subclass", "two", "other-keyword", "both"],
)
def test_construction_refuses(args, kwargs):
    with pytest.raises(TypeError):
        MeterLinkFailure(*args, **kwargs)


def test_type_error_names_the_argument():
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected str, got int\)$"):
        MeterLinkFailure(42)


def test_reassigned_message_keeps_string_form():
    error = MeterLinkFailure("first")
    error.message = "second"
    assert (error.message, str(error), error.args) == ("second", "first", ("first",))


def test_survives_pickling():
    copy = pickle.loads(pickle.dumps(MeterLinkFailure("lost")))
    assert type(copy) is MeterLinkFailure
    assert (copy.message, copy.args) == ("lost", ("lost",))
