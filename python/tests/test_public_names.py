"""Every public name carries a docstring and type hints."""
import inspect

import zrqapi
import zrqapi.testing
import zrqapi.units


def public_members():
    for module in (zrqapi, zrqapi.testing, zrqapi.units):
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for name in names:
            value = getattr(module, name)
            if getattr(value, "__module__", "").startswith("zrqapi") and (inspect.isclass(value)
                                                                        or inspect.isfunction(value)):
                yield f"{module.__name__}.{name}", value
                if inspect.isclass(value):
                    for member, attribute in vars(value).items():
                        if not member.startswith("_") and (inspect.isfunction(attribute)
                                                           or isinstance(attribute, property)):
                            yield f"{module.__name__}.{name}.{member}", attribute


def test_every_public_name_has_a_docstring_and_type_hints():
    missing_doc, missing_hints = [], []
    members = list(public_members())
    assert len(members) > 60
    for qualified, value in members:
        if not (value.__doc__ or "").strip():
            missing_doc.append(qualified)
        function = value.fget if isinstance(value, property) else value
        if inspect.isfunction(function):
            hints = function.__annotations__
            parameters = [p for p in inspect.signature(function).parameters if p not in ("self", "cls")]
            if "return" not in hints or any(p not in hints for p in parameters):
                missing_hints.append(qualified)
    assert missing_doc == []
    assert missing_hints == []
