"""Shows what the installed tessaly module offers."""

import tessaly


def tree(cls, depth=0):
    print("  " * depth + cls.__name__ + ": " + (cls.__doc__ or ""))
    for sub in cls.__subclasses__():
        if sub.__module__ == "tessaly":
            tree(sub, depth + 1)


print(f"tessaly {tessaly.__version__}")
print("\nexceptions:")
tree(tessaly.ModbusError, 1)
print("\nenumerations:")
for enum, names in ((tessaly.CoilState, ("Off", "On")), (tessaly.SerialMode, ("Rtu", "Ascii"))):
    members = ", ".join(f"{getattr(enum, n)!r} = {int(getattr(enum, n))}" for n in names)
    print(f"  {enum.__name__}: {members}")
