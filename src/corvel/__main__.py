"""`python -m corvel`: a first look at corvel's native modules."""

from __future__ import annotations

from corvel.message import Message, MessageRole


def main() -> None:
    question = Message(role=MessageRole.user, contents=["What is in this picture?"])
    question.contents.append([{"type": "image_url", "image_url": "data:image;base64,iVBORw0KGgo="}])
    question.contents.append("And what colour is it?")
    print("A user turn that was asked again with a picture, as it goes on the wire:")
    print(f"  {question!r}")


if __name__ == "__main__":
    main()
