"""The example tools and the scripted model of `python -m corvel`.

The tools are ordinary functions in a `Tools` registry: the chat client offers them to a model, and
``python -m corvel --mcp`` serves the very same definitions to MCP clients. ``--mcp-tools COMMAND`` adds the
tools of the MCP server that COMMAND starts; when one of them is a weather tool, the scripted model asks it
instead of the local one, so that one pass calls a remote and a local tool.
"""

from __future__ import annotations

import json
import shlex
from typing import Annotated, Any

from corvel.testing import RecordedRequest, Reply, message, stream, tool_call
from corvel.tools import Tools

tools = Tools()

_WEATHER = {"lyon": ("sunny", 18), "paris": ("cloudy", 14), "marseille": ("windy", 21), "lille": ("rainy", 11)}
_PLACES = {"paris": (48.857, 2.352), "lyon": (45.764, 4.836), "marseille": (43.296, 5.370),
           "lille": (50.629, 3.057)}


@tools.register
def weather(city: Annotated[str, "the city, e.g. Lyon"]) -> dict[str, Any]:
    """Today's weather in a French city."""
    sky, celsius = _WEATHER.get(city.strip().lower(), ("unknown", None))
    return {"city": city, "sky": sky, "celsius": celsius}


@tools.register
def distance_km(origin: Annotated[str, "where the trip starts"],
                destination: Annotated[str, "where it ends"]) -> float:
    """The straight-line distance between two French cities, in kilometres."""
    from math import asin, cos, radians, sin, sqrt

    (lat1, lon1), (lat2, lon2) = (_PLACES[c.strip().lower()] for c in (origin, destination))
    h = sin(radians(lat2 - lat1) / 2) ** 2 + cos(radians(lat1)) * cos(radians(lat2)) * sin(radians(lon2 - lon1) / 2) ** 2
    return round(2 * 6371 * asin(sqrt(h)), 1)


def _fragments(text: str) -> list[str]:
    """``text`` in word-sized fragments that join back into it, as a model streams it."""
    words = text.split(" ")
    return [word + " " for word in words[:-1]] + words[-1:]


def add_mcp_command(command: str, prefix: str) -> list[str]:
    """Offer the tools of the MCP server that a shell command line starts (on stdio), under ``prefix``."""
    from fastmcp.client.transports import StdioTransport

    program, *args = shlex.split(command)
    return tools.add_mcp(StdioTransport(program, args), prefix=prefix)


def scripted_model(request: RecordedRequest) -> Reply:
    """A model that plans, asks for both tools at once, then answers from what they returned."""
    messages = request.json["messages"]
    streamed = bool(request.json.get("stream"))
    if messages[-1]["role"] != "tool":
        offered = [tool["function"]["name"] for tool in request.json.get("tools", [])]
        weather_tool = next((name for name in offered if name.endswith("weather") and name != "weather"), "weather")
        calls = [tool_call("call_weather", weather_tool, {"city": "Lyon"}),
                 tool_call("call_distance", "distance_km", {"origin": "Paris", "destination": "Lyon"})]
        plan = "The user wants to know about Lyon. I need its weather and its distance from Paris."
        if streamed:
            return stream(reasoning=_fragments(plan), tool_calls=calls)
        return message(reasoning_content=plan, tool_calls=calls)
    results = {m["tool_call_id"]: m["content"] for m in messages if m["role"] == "tool"}
    sky = json.loads(results["call_weather"])
    text = (f"Lyon is {sky['sky']} at {sky['celsius']} °C today, "
            f"and {results['call_distance']} km from Paris as the crow flies.")
    if streamed:
        return stream(_fragments(text), reasoning=_fragments("Both tools answered."))
    return message(text, reasoning_content="Both tools answered.")
