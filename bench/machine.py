"""What every benchmark prints beside its figures: the machine and how busy it was, so that
figures from two machines, or from a loaded one, are never compared blind."""

import os
import platform


def load_text():
    return " ".join(f"{load:.2f}" for load in os.getloadavg())


def machine_text():
    """The processor model and the kernel, so that figures from two machines are never
    compared blind."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if not line.strip():
                    break  # the first processor is enough
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    model = fields.get("model name") or platform.processor() or platform.machine()
    # A virtual machine's model name can be as vague as "AMD EPYC"; family and model tell
    # the generations apart.
    if "cpu family" in fields and "model" in fields:
        model += f" (family {fields['cpu family']}, model {fields['model']})"
    return (f"{model}, {os.cpu_count()} logical processors; {platform.system()} "
            f"{platform.release()}; Python {platform.python_version()}")
